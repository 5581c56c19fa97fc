#pragma once

#include "process/log.h"
#include "process/runner.h"
#include "settings.h"

namespace moh {

constexpr int kExitNoListing = 20;  // no library, or no listing of it

// What a run works with: its paths, what it was asked, where its log goes and how it runs
// children.
struct Context {
    const Settings& settings;
    const RunOptions& options;
    Log& log;
    Runner& runner;
};

struct WalkResult {
    int status = 0;  // the exit status: 0, or kExitNoListing
    bool interrupted = false;
};

// The whole run: opens the library, lists it, gives every listed entry a safe name, converts
// every MP3 and prints the summary.
WalkResult run_walk(const Context& context);

}  // namespace moh
