// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdio>
#include <string>

#include "settings.h"

namespace moh {

constexpr int kExitUsage = 2;
constexpr int kExitLogLost = 74;  // the run ended, but its log could not be written
constexpr int kExitNotRoot = 77;

// What the command line asks for.
struct CommandLine {
    enum class Action { kRun, kCheck, kHelp, kVersion, kUsageError };
    Action action = Action::kRun;
    RunOptions run;
    bool quiet = false;           // print only the lines that report a problem
    std::string asterisk_config;  // --check's musiconhold.conf, when given
};

// Parses the options with getopt_long. A usage error has already been reported on stderr, as
// "moh-convert: " and the complaint, then a line pointing to --help.
CommandLine parse_command_line(int argc, char** argv);

// The --help text.
void print_usage(std::FILE* out);

}  // namespace moh
