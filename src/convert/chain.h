// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/types.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "asterisk/config.h"
#include "convert/commands.h"
#include "convert/staged_output.h"
#include "formats/outputs.h"
#include "process/log.h"
#include "process/runner.h"
#include "settings.h"

namespace moh {

// What the chain works with, besides the MP3: where it logs, how it runs children, and the
// descriptor of the root-only work directory that holds each conversion's private paths.
struct ChainContext {
    const Settings& settings;
    Log& log;
    Runner& runner;
    int work_dir;
    bool converter_ok = true;  // false: the G.722 converter cannot run; no .g722 is made
    std::vector<std::string> extras = {};     // formats made after the six, in this order
    bool g729_ok = true;                      // false: the G.729 converter cannot run
    std::optional<double> level = {};         // LUFS to bring each source to, before any back-off
    const AsteriskAccount* reader = nullptr;  // named in asterisk.conf: must read every output
    bool seamless = false;                    // outputs begin and end quietly, to join cleanly
};

// One MP3, opened by the walk.
struct Mp3 {
    int dir;                // its directory, where the outputs go
    int fd;                 // the MP3 itself, open for reading
    std::string name;       // its base name, such as "Hold_Music.mp3"
    std::string stem;       // the name without its last four characters
    std::string dir_path;   // the directory as the log shows it
    int number;             // its place among the run's conversions; names its private directory
    off_t size = -1;        // its size when the walk opened it, all that is read; -1: as found now
    std::string type = {};  // what sox calls its format; empty: sox goes by its name
};

// An output as it was published: enough to tell later that it is still that very file.
struct PublishedOutput {
    std::string format;
    FileIdentity identity;
};

struct ConversionResult {
    bool complete = false;                 // every command succeeded and every output was published
    bool interrupted = false;              // the run was interrupted; nothing more was published
    std::vector<PublishedOutput> outputs;  // in the order they were made
    bool no_space = false;    // an output found the library full (or its owner over quota)
    bool unreadable = false;  // sox could not read the source: it fails so until it is replaced
};

// No sox run is retried below this factor: it reaches 0.1 after nine steps of 0.1 from 1.0.
constexpr double kVolumeStep = 0.1;
constexpr double kVolumeFloor = 0.05;

// Converts the MP3 into STEM.ulaw, .alaw, .gsm, .sln and .sln16 with sox, then STEM.g722 from
// the .sln16 with the G.722 converter, all beside it. The MP3 is decoded once, into private audio
// at 8 and 16 kHz from which each format is made. A format whose making clipped is made again
// with the volume factor lowered by kVolumeStep; the lowered factor holds for the later formats
// and is left in `volume`. Each output is published whole, and only when its command succeeded;
// a failure keeps the previous output. Logs each step and each failure; never fails itself.
ConversionResult convert_mp3(const Mp3& mp3, double& volume, const ChainContext& context);

// Runs a child to its end and, unless it succeeded, logs how it failed and what it said.
// For children that convert no MP3, such as Asterisk's reload.
bool run_and_report(const Child& child, const ChainContext& context);

}  // namespace moh
