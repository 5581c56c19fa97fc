// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "convert/chain.h"
#include "library/known_file.h"

namespace moh {

// What the command remembers between runs, root-only outside the library and replaced in one
// step: for each source it converted, the source and its outputs as they were then (status and
// digest), whether that conversion was whole, and the recipe it was made with; and each file it
// renamed, so that a later upload under the same unsafe name may take its place. Entries are
// keyed by their directory's identity and their name, so that what the record holds does not
// grow with path length. Safe to use from several jobs.
class UpdateRecord {
  public:
    // The conversion commands, the converter programs, the formats made, the loudness target and
    // the seamless edges, as one text: a change in any makes every earlier conversion stale.
    static std::string recipe(const Settings& settings, const std::vector<std::string>& formats,
                              std::optional<double> level, bool seamless = false);

    // The record's file name for the library open as `library`: each library has its own, by
    // the folder's identity, whatever path reaches it.
    static std::string file_name(int library);

    // Reads the record of `library` in `dir`, of a run that makes `formats`. A missing record is
    // empty; an unreadable or corrupt one is empty too, and `warning` says why. Where only the
    // previous version's record is found (by the path, `library_path`, or `default_library`'s
    // name), it is read instead, `upgraded` says so, and save() removes it. With `look_only`,
    // nothing is changed, not even a loose state directory's mode: such a one is not read.
    UpdateRecord(std::string dir, int library, const std::string& library_path,
                 bool default_library, std::string recipe, std::vector<std::string> formats,
                 std::string& warning, std::string& upgraded, bool look_only = false);

    // The key of `name` in the directory `dir`; empty when the directory cannot be examined.
    static std::string key_of(int dir, const std::string& name);

    const std::vector<std::string>& formats() const { return formats_; }

    // The folders, relative to the library, that the first kind of record knew sources in: that
    // version made folder names safe too. Empty for any later record.
    const std::set<std::string>& first_version_folders() const { return first_version_folders_; }

    // Whether the source `key`, open as `source`, still has the outputs its last complete
    // conversion published in `dir`. A current entry is carried into the next record.
    bool current(const std::string& key, int source, int dir, const std::string& stem);

    // When the source `key`, open as `source`, last failed to convert for what it holds, while
    // it still holds just that: a retry would fail the same way. Nothing otherwise. What is
    // returned is carried into the next record.
    std::optional<std::time_t> failed_before(const std::string& key, int source);

    // Notes a conversion's outcome: a complete one of a source that stayed `opened` all along
    // makes it current; of any other, only which outputs it published is kept.
    void converted(const std::string& key, int source, const FileIdentity& opened, int dir,
                   const std::string& stem, const ConversionResult& result);

    // Whether the file `name` in `dir` (key `key`) is the very file this command once renamed
    // there from `from`.
    bool renamed_from(const std::string& key, const std::string& from, int dir,
                      const std::string& name);
    // Notes a rename from `from` to `name` in `dir` (key `key`), whose status after it is `now`.
    void renamed(const std::string& key, const std::string& from, int dir, const std::string& name,
                 const struct stat& now);
    // The walk passed `name` in `dir` (key `key`): a rename of it is remembered while it is
    // still the file renamed.
    void passed(const std::string& key, int dir, const std::string& name);

    // Whether `name` in `dir` is the `format` output this command last published for the source
    // `key`, open as `source`.
    bool published(const std::string& key, int source, const std::string& format, int dir,
                   const std::string& name);

    // The source (its key) whose last conversion published `name` in `dir`, whose status is
    // `st`, as the record knew it before this run; nothing when it is not such an output.
    std::optional<std::string> source_of(int dir, const std::string& name, const struct stat& st);
    // What the record knew of the source `key`, open as `source`, whatever the recipe: whether
    // it still holds what its last conversion read, and the outputs that conversion published.
    struct KnownSource {
        bool unchanged = false;
        std::map<std::string, KnownFile> outputs;  // by format
    };
    std::optional<KnownSource> known_source(const std::string& key, int source);
    // The outputs the record knew of the source `key` before this run, by format.
    std::vector<std::pair<std::string, KnownFile>> outputs_of(const std::string& key) const;
    // Whether `name` in `dir` is still the `format` output the record knows of `key`.
    bool still_output(const std::string& key, const std::string& format, int dir,
                      const std::string& name);
    // Keeps what the record knew of `key`, a file the walk left for the next run unexamined.
    void keep(const std::string& key);
    // Drops what the record knew of the source `key`.
    void forget(const std::string& key);

    // Writes the record of this run: what was current, converted or renamed now, and, after a
    // run that did not examine everything (`partial`: interrupted, or conversions stopped),
    // whatever the record knew of the entries it did not reach. Returns 0 or errno.
    int save(bool partial) const;

  private:
    struct Entry {
        KnownFile source;
        std::map<std::string, KnownFile> outputs;  // by format, as published
        bool complete = false;   // made whole by this recipe: current while all is unchanged
        std::time_t failed = 0;  // when its source could not be read by this recipe; 0: it could
    };
    struct Rename {
        std::string from;
        KnownFile file;
    };

    // The entry of `key` not reached yet; for a key the record does not know (a folder restored
    // or copied), the entry of the same name whose source held the same bytes as `source`.
    std::map<std::string, Entry>::iterator find_before(const std::string& key, int source);

    std::string dir_;
    std::string name_;
    std::string previous_name_;  // the previous version's record, read instead: removed by save
    std::string recipe_;
    std::vector<std::string> formats_;
    // What earlier runs knew and this run has not reached yet; reached entries leave it.
    std::map<std::string, Entry> before_;
    std::map<std::string, Rename> renames_before_;
    std::map<std::string, Entry> now_;
    std::map<std::string, Rename> renames_now_;
    std::set<std::string> first_version_folders_;
    // The renames the previous version recorded, as it wrote them, kept for good.
    std::map<std::string, std::string> earlier_renames_;
    // The outputs of the sources not reached yet, by device and inode; made when first asked.
    std::map<std::pair<dev_t, ino_t>, std::string> output_index_;
    bool indexed_ = false;
    // The keys of the sources not reached yet, by name; made when first asked.
    std::multimap<std::string, std::string> by_name_;
    bool named_ = false;
    mutable std::mutex mutex_;
};

}  // namespace moh
