// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/types.h>

#include <string>

#include "process/fd.h"

namespace moh {

constexpr int kExitLocked = 75;  // another run holds the lock, or it cannot be taken

// An exclusive flock on the lock file, held for as long as the object lives, so that two runs
// (a cron overlap, say) never work on the library at once. The holder's pid is written into
// the file for the next run to name.
class RunLock {
  public:
    explicit RunLock(const std::string& path);

    bool held() const { return held_; }
    // When not held: the pid of the run that holds it, or 0 when it could not be taken at all.
    pid_t holder() const { return holder_; }
    // Why it could not be taken, when no other run holds it.
    const std::string& failure() const { return failure_; }

  private:
    Fd fd_;
    bool held_ = false;
    pid_t holder_ = 0;
    std::string failure_;
};

}  // namespace moh
