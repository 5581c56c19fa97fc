#pragma once

#include <cstdio>
#include <string>

#include "settings.h"

namespace moh {

constexpr int kExitUsage = 2;

// What the command line asks for.
struct CommandLine {
    enum class Action { kRun, kHelp, kVersion, kUsageError };
    Action action = Action::kRun;
    RunOptions run;
    bool quiet = false;  // print only the lines that report a problem
};

// Parses the options with getopt_long. A usage error has already been reported on stderr, as
// "moh-convert: " and the complaint, then a line pointing to --help.
CommandLine parse_command_line(int argc, char** argv);

void print_usage(std::FILE* out);

}  // namespace moh
