// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "process/log.h"
#include "process/runner.h"
#include "settings.h"

namespace moh {

constexpr int kExitProblems = 1;    // the run ended, and printed lines that need a look
constexpr int kExitNoListing = 20;  // no library, or no listing of it

class Progress;

// What a run works with: its paths, what it was asked, where its log goes and how it runs
// children; and, at a terminal, where it shows how far it is.
struct Context {
    const Settings& settings;
    const RunOptions& options;
    Log& log;
    Runner& runner;
    Progress* progress = nullptr;
};

struct WalkResult {
    int status = 0;  // the exit status: 0, or kExitNoListing
    bool interrupted = false;
    int to_convert = 0;  // sources the run set out to convert, known before the walk
    int done = 0;        // of those, the ones converted or found current when the walk stopped
};

// The whole run: opens the library, lists it, gives every listed entry a safe name, converts
// every MP3 and prints the summary.
WalkResult run_walk(const Context& context);

}  // namespace moh
