// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "process/log.h"

namespace moh {

class UpdateRecord;

// Gives a listed file's own name, its last component, a safe one, within its directory. A
// directory is never renamed: a music-on-hold class names its folder in musiconhold.conf. A
// rename never replaces anything, except an earlier upload that this command itself renamed to
// the same name from the very same unsafe name and that is still the file it renamed.
class Renamer {
  public:
    // `record` (may be null) remembers renames between runs. A dry run renames nothing and
    // foresees what the real run would meet.
    Renamer(const std::string& library_dir, bool dry_run, UpdateRecord* record)
        : library_dir_(library_dir), dry_run_(dry_run), record_(record) {}

    // Logs "Leave the name", "Changed" (or "Would change") or "Couldn't rename" for the file
    // `name` in `dir`, at `dir_relative` in the library ("" for its top), whose status is `st`.
    // With `left_alone`, the "Leave the name" line goes there instead, for the caller to log if
    // the entry turns out to need anything. A safe name taken by another file gets "_2", "_3",
    // ... before its extension. On success `name` is the name it has now (in a dry run, still
    // the old one, and `shown` the new one). False when the rename was refused and the entry is
    // to be left alone.
    bool give_safe_name(Log& log, int dir, const std::string& dir_relative, std::string& name,
                        std::string& shown, const struct stat& st,
                        std::string* left_alone = nullptr);

    int renamed() const { return renamed_; }

  private:
    using Place = std::tuple<dev_t, ino_t, std::string>;  // a name in a directory, by identity

    std::string full(const std::string& dir_relative, const std::string& name) const;
    // 0, or why renaming `from` to `to` in `dir` failed; sets `replaced` when it took the place
    // of an earlier upload.
    int rename_now(int dir, const std::string& from, const std::string& to, bool& replaced);
    int would_rename(int dir, const std::string& from, const std::string& to, bool& replaced);
    // Whether `to` in `dir` is a file this command renamed there from `from`, still as it was,
    // and the uploader of `from` may have it replaced; `earlier` is its status.
    bool earlier_upload(int dir, const std::string& from, const std::string& to,
                        struct stat& earlier);
    std::optional<std::string> conversion_taking(int dir, const std::string& name);

    std::string library_dir_;
    bool dry_run_;
    UpdateRecord* record_;
    int renamed_ = 0;
    // The MP3s of each directory read so far, by the stem their safe name has.
    std::map<std::pair<dev_t, ino_t>, std::map<std::string, std::string>> mp3_names_;
    std::set<Place> foreseen_;  // dry run: names its renames would have made
    std::set<Place> vacated_;   // dry run: names its renames would have freed
};

}  // namespace moh
