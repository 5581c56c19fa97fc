// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "convert/chain.h"

namespace moh {

// What the command remembers between runs, root-only outside the library and replaced in one
// step: for each MP3 whose last conversion succeeded entirely, the MP3 and the six outputs as
// they were then, and the recipe they were made with; and each file it renamed, so that a later
// upload under the same unsafe name may take its place. Entries are keyed by their directory's
// identity and their name, so that what the record holds does not grow with path length. Safe
// to use from several jobs.
class UpdateRecord {
  public:
    // The conversion commands, the converter programs, the formats made and the loudness target,
    // as one text: a change in any makes every earlier conversion stale.
    static std::string recipe(const Settings& settings, const std::vector<std::string>& formats,
                              std::optional<double> level);

    // The record's file name for a library: each library has its own.
    static std::string file_name(const std::string& library_dir, bool default_library);

    // Reads the record `name` in `dir`, of a run that makes `formats`. A missing record is
    // empty; an unreadable or corrupt one is empty too, and `warning` says why.
    UpdateRecord(std::string dir, std::string name, std::string recipe,
                 std::vector<std::string> formats, std::string& warning);

    // The key of `name` in the directory `dir`; empty when the directory cannot be examined.
    static std::string key_of(int dir, const std::string& name);

    // Whether the MP3 `key`, open as `mp3`, still has the outputs its last complete conversion
    // published in `dir`. A current entry is carried into the next record.
    bool current(const std::string& key, int mp3, int dir, const std::string& stem);

    // Notes a conversion's outcome: a complete one of a source that stayed `opened` all along
    // makes it current; of any other, only which outputs it published is kept.
    void converted(const std::string& key, int mp3, const FileIdentity& opened,
                   const ConversionResult& result);

    // Whether the file now at `key` (whose status is `now`) is the very file this command once
    // renamed there from `from`.
    bool renamed_from(const std::string& key, const std::string& from, const struct stat& now);
    // Notes a rename from `from` to the file at `key`, whose status after the rename is `now`.
    void renamed(const std::string& key, const std::string& from, const struct stat& now);
    // The walk passed the file at `key`: a rename of it is remembered while it is still the file
    // renamed.
    void passed(const std::string& key, const struct stat& now);

    // Whether the file `st` is the `format` output this command last published for `key`.
    bool published(const std::string& key, const std::string& format, const struct stat& st) const;

    // The source (its key) whose last conversion published the file `st`, as the record knew
    // it before this run; nothing when it is not such an output.
    std::optional<std::string> source_of(const struct stat& st);
    // The outputs the record knew of the source `key` before this run, by format.
    std::vector<std::pair<std::string, FileIdentity>> outputs_of(const std::string& key) const;
    // Drops what the record knew of the source `key`.
    void forget(const std::string& key);

    // Writes the record of this run: what was current, converted or renamed now, and, after a
    // run that did not examine everything (`partial`: interrupted, or conversions stopped),
    // whatever the record knew of the entries it did not reach. Returns 0 or errno.
    int save(bool partial) const;

  private:
    struct Entry {
        FileIdentity source;
        std::map<std::string, FileIdentity> outputs;  // by format, as published
        bool complete = false;  // made whole by this recipe: current while all is unchanged
    };
    struct Rename {
        std::string from;
        FileIdentity file;
    };

    std::string dir_;
    std::string name_;
    std::string recipe_;
    std::vector<std::string> formats_;
    // What earlier runs knew and this run has not reached yet; reached entries leave it.
    std::map<std::string, Entry> before_;
    std::map<std::string, Rename> renames_before_;
    std::map<std::string, Entry> now_;
    std::map<std::string, Rename> renames_now_;
    // The outputs of the sources not reached yet, by device and inode; made when first asked.
    std::map<std::pair<dev_t, ino_t>, std::string> output_index_;
    bool indexed_ = false;
    mutable std::mutex mutex_;
};

}  // namespace moh
