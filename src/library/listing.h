// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "process/fd.h"
#include "process/runner.h"
#include "settings.h"

namespace moh {

// The find command that lists the library, open as `library`: audio files and directories
// named like them, and hidden folders without what they hold, at most kListingDepth levels
// down, one path per line. find starts in that very directory, so that no one can swap the
// path for a link meanwhile; each line still names the entry by the library's path.
Child listing_command(const Settings& settings, int library);

// Lists the library, open as `library`, into a file we create at settings.listing_path (never
// through a link, readable by root alone), and returns it, open for reading from the start. If
// something we cannot remove stands there, the listing goes to an unnamed file instead. On
// failure (the listing could not be written whole, find could not run or was killed, the run
// was interrupted) returns no descriptor and puts the reason in `failure` (empty when
// interrupted).
Fd make_listing(const Settings& settings, int library, Runner& runner, std::string& failure);

// The first directory, at the listing's depth bound, that holds anything, by the library's
// path; empty when the listing saw the whole library.
std::string first_directory_past_depth(const Settings& settings, int library, Runner& runner);

// Reads the listing line by line, with lines of any length; a line read too far can be put
// back.
class ListingReader {
  public:
    explicit ListingReader(Fd listing);
    ListingReader(const ListingReader&) = delete;
    ListingReader& operator=(const ListingReader&) = delete;
    ~ListingReader();

    // The next line without its newline; false at the end or on a read error.
    bool next(std::string& line);
    void put_back(std::string line) { pending_.push_front(std::move(line)); }

  private:
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
    std::deque<std::string> pending_;
    char* buffer_ = nullptr;
    std::size_t capacity_ = 0;
};

// What the listing names that may need sox: lines inside the library whose name ends in .mp3 in
// any case, WAVs, and the other audio of source_types(). Reads the listing `fd` whole, without
// moving its offset.
struct ListedSources {
    int mp3 = 0;
    int wav = 0;
    int other = 0;
};
ListedSources count_sources(int listing, const std::string& library_dir);

// Whether a listing line names something inside the library: it starts with the library
// directory and a slash and goes on after them, has no "." or ".." component and no zero byte.
// Anything else is an error message of find or a piece of a name that holds a newline.
bool is_library_entry(const std::string& line, const std::string& library_dir);

}  // namespace moh
