// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "library/library.h"
#include "library/update_record.h"
#include "process/log.h"

namespace moh {

// Removes the outputs of sources that are gone, and the outputs in formats this run no longer
// makes: only files this command published, still as it published them (the same file, or the
// same bytes), whose source the record names.
class Pruner {
  public:
    Pruner(const Library& library, UpdateRecord& record, bool dry_run)
        : library_(library), record_(record), dry_run_(dry_run) {}

    // The walk met the headerless file `name` in `dir` (at `dir_relative` in the library, "" for
    // its top), whose status is `st`. True when it is an output the record knows.
    bool consider(int dir, const std::string& dir_relative, const std::string& name,
                  const struct stat& st);

    // After the walk: removes (or, in a dry run, names) the outputs of every source found gone,
    // one line each, and returns how many; then those of formats no longer made, adding their
    // count to `unmade`.
    int prune(Log& log, int& unmade);

  private:
    struct Orphan {
        std::string dir_relative;
        std::string key;
    };

    const Library& library_;
    UpdateRecord& record_;
    bool dry_run_;
    struct Unmade {
        std::string dir_relative;
        std::string key;
        std::string name;
        std::string format;
    };

    std::vector<Orphan> orphans_;
    std::vector<Unmade> unmade_;
    std::set<std::string> keys_;
};

// Which of a source's outputs remove_outputs() takes.
enum class OutputsRemoved {
    kUnmade,  // those of the formats this run does not make: they would play the old audio
    kAll,     // all, for a source that now plays as it is and needs none
};

// Removes (or, in a dry run, names) the outputs the record knows this command made of the source
// `shown` in `dir` (at `dir_path`, key `key`), while they are still as it made them, one line
// each. Returns how many.
int remove_outputs(UpdateRecord& record, Log& log, int dir, const std::string& dir_path,
                   const std::string& key, const std::string& shown, OutputsRemoved which,
                   bool dry_run);

}  // namespace moh
