#pragma once

#include <string>

#include "convert.h"

namespace moh {

constexpr int kExitListingUnreadable = 20;

// The find command line that writes the listing of the library into settings.listing_path.
std::string listing_command(const Settings& settings);

// Whether a listing line names something inside the library: it starts with the library
// directory and a slash and goes on after them, has no "." or ".." component and no zero byte.
// Anything else is an error message of find or a piece of a name that holds a newline.
bool is_library_entry(const std::string& entry, const std::string& library_dir);

// The whole run: lists the library, sanitises every entry, converts every MP3 and prints the
// summary. Returns the exit status: 0, or kExitListingUnreadable when the listing cannot be
// opened.
int run_walk(const Context& context);

}  // namespace moh
