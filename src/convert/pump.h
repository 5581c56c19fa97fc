// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/types.h>

#include <functional>
#include <thread>
#include <vector>

#include "process/fd.h"

namespace moh {

// Copies what one descriptor gives into pipes, on a thread of its own: a child that reads such a
// pipe gets exactly what we chose to give it, and one source can feed several children.
class Pump {
  public:
    // Copies from `from` into each of `to`, at most `limit` bytes when `limit` is not negative. A
    // regular file is read from its start with pread, so its offset is left alone. A pipe whose
    // reader has gone is dropped; when all have gone, a file `from` is read no further, and a pipe
    // is read to its end and what it gives dropped. Each pipe is closed when the copy ends, so
    // that its reader sees the end.
    // While `go_on` is given, it is asked after every kCheckEvery bytes whether to go on; when it
    // says no, the copy ends there as if every reader had gone.
    Pump(Fd from, std::vector<Fd> to, off_t limit = -1, std::function<bool()> go_on = {});
    Pump(const Pump&) = delete;
    Pump& operator=(const Pump&) = delete;
    ~Pump();

    // False when the copy could not start (no thread to be had); the pipes are closed then.
    bool running() const { return thread_.joinable(); }

    // Waits for the copy to end. Returns 0, or the errno of a failed read of `from`.
    int finish();
    // After finish(): whether `go_on` stopped the copy.
    bool cut_short() const { return cut_short_; }

    static constexpr off_t kCheckEvery = 256 * 1024;

  private:
    void copy();

    Fd from_;
    std::vector<Fd> to_;
    off_t limit_;
    std::function<bool()> go_on_;
    int error_ = 0;
    bool cut_short_ = false;
    std::thread thread_;
};

}  // namespace moh
