// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace moh {

// The exit statuses of the Monitoring Plugins.
constexpr int kCheckOk = 0;
constexpr int kCheckWarning = 1;
constexpr int kCheckCritical = 2;
constexpr int kCheckUnknown = 3;

// Where a check looks. The command fills these with the fixed paths; tests with their own.
struct CheckPaths {
    std::string library_dir;
    bool default_library = true;       // the update record's older name goes by it
    std::string state_dir;             // where the update record is, when this account may read it
    std::vector<std::string> formats;  // the outputs every source should have
    std::string asterisk_conf;         // runuser, rungroup and astdatadir, when readable
    std::string musiconhold_conf;      // its mode=files classes; empty for none
    bool musiconhold_asked = false;    // given on the command line: unreadable is UNKNOWN
};

// Looks at the library as Asterisk would play it, changing nothing: prints the status line and
// a line per finding to `out`, and returns the status.
int run_check(const CheckPaths& paths, std::FILE* out);

}  // namespace moh
