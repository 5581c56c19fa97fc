// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>

#include "library/library.h"
#include "library/listing.h"
#include "process/fd.h"

namespace moh {

// A listing line resolved beneath the library.
struct Entry {
    std::string line;               // the listing line, or lines joined, it came from
    std::string dir_relative;       // its directory, relative to the library ("" at the top)
    std::string name;               // its own name, the last component
    std::shared_ptr<const Fd> dir;  // its directory, open, when it was found
    struct stat st {};              // its status, a link not followed
    int error = 0;  // errno of the look-up: ENOENT when it names nothing, ELOOP through a link
    bool inside = false;  // the line names a path under the library at all

    std::string relative() const { return dir_relative.empty() ? name : dir_relative + "/" + name; }
};

// The entries of the listing, in its order. find prints one path per line, every one beginning
// with the library's path, so a name that holds a newline arrives as several lines: a line that
// does not begin with the library's path is joined to the one before whenever the joined name
// exists, and a line that names nothing is joined to the next ones until a name is found.
class ListedEntries {
  public:
    ListedEntries(const Library& library, ListingReader& reader)
        : library_(library), reader_(reader) {}

    // The next entry; false at the end of the listing.
    bool next(Entry& entry);

  private:
    Entry locate(const std::string& line);
    bool continues(const std::string& line) const;
    void join_following(Entry& entry);
    void piece_together(Entry& entry);
    std::shared_ptr<const Fd> open_dir(const std::string& relative, int& error);

    const Library& library_;
    ListingReader& reader_;
    // The listing names a directory's entries one after another: the last one opened serves
    // until another is asked for.
    std::shared_ptr<const Fd> cached_dir_;
    std::string cached_path_;
    int cached_error_ = 0;
};

}  // namespace moh
