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

// Removes the outputs of sources that are gone: only files this command published, still the
// very files it published, whose source the record names and which no longer exists.
class Pruner {
  public:
    Pruner(const Library& library, UpdateRecord& record, bool dry_run)
        : library_(library), record_(record), dry_run_(dry_run) {}

    // The walk met a headerless file with no source beside it, in `dir` (at `dir_relative` in
    // the library, "" for its top), whose status is `st`.
    void consider(int dir, const std::string& dir_relative, const struct stat& st);

    // After the walk: removes (or, in a dry run, names) the outputs of every source found gone,
    // one line each. Returns how many.
    int prune(Log& log);

  private:
    struct Orphan {
        std::string dir_relative;
        std::string key;
    };

    const Library& library_;
    UpdateRecord& record_;
    bool dry_run_;
    std::vector<Orphan> orphans_;
    std::set<std::string> keys_;
};

}  // namespace moh
