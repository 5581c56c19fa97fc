// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <vector>

#include "convert/capture.h"
#include "convert/chain.h"
#include "process/fd.h"
#include "process/runner.h"

namespace moh {

// The failure of a write for want of room: the library's disk is full, or its owner's quota.
bool no_room(int error);
// Whether sox's failure line gives one of those reasons.
bool no_room(const std::string& failure);

// One child's run and what it printed.
struct Outcome {
    ChildResult result;
    CaptureVerdict verdict;
};

bool succeeded(const Child& child, const Outcome& outcome);

// Whether sox's failure line says it could not open its input. Its reason is empty, or an errno
// left over from elsewhere ("Invalid argument" for a file it was handed): what the file is says
// more.
bool cannot_open_input(const std::string& failure);

// Logs a command that did not succeed; true when it did. `converting` names the MP3 and the
// format, since the command's own paths are gone with the run; what it said names `source`.
bool report(const Child& child, const Outcome& outcome, const ChainContext& context,
            const std::string& converting = "", const std::string& source = "");

// Runs a child, judging what it prints; the paths it is given are not part of its words.
Outcome run_judged(const Child& child, const ChainContext& context);

// A child that runs beside others, and our copies of the pipe ends handed to it: they are closed
// as soon as it ends, so that whoever is at the other end of its pipes sees it gone.
struct Stage {
    Child child;
    std::vector<Fd> pipe_ends;
    Outcome outcome;
    std::size_t rate = 0;  // of a resampler, in kRates
};

void run_side_by_side(std::vector<Stage>& stages, const ChainContext& context);

}  // namespace moh
