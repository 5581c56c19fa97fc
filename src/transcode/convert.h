#pragma once

#include <string>

#include "command_runner.h"
#include "log.h"
#include "settings.h"

namespace moh {

// What a run works with: its paths, where its log goes and how it runs commands.
struct Context {
    const Settings& settings;
    Log& log;
    CommandRunner& runner;
};

// No sox run is retried below this factor: it reaches 0.1 after nine steps of 0.1 from 1.0.
constexpr double kVolumeStep = 0.1;
constexpr double kVolumeFloor = 0.05;

// Converts dir/stem.mp3 into stem.ulaw, .alaw, .gsm, .sln and .sln16 with sox, then stem.g722
// from the .sln16 with the G.722 converter, all in dir. A sox run that clipped runs again with
// the volume factor lowered by kVolumeStep; the lowered factor holds for the later formats and
// is left in `volume`. An output that is not a plain file of one link is removed before it is
// written. Logs each step, and each command that did not exit 0; never fails itself.
void convert_mp3(const std::string& dir, const std::string& stem, double& volume,
                 const Context& context);

// Removes whatever stands at a path the shell is about to redirect into (a file, a link, an
// empty directory), so that the redirection creates it afresh rather than writing through
// something another user planted there. Failures are left to show when the shell opens it.
void remove_redirect_target(const std::string& path);

// Runs one command line after flushing the log, so that the log keeps its order in a file.
// Returns the wait status.
int run_command(const std::string& command_line, const Context& context);

}  // namespace moh
