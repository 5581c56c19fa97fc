// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "process/log.h"

namespace moh {

// Converts up to N MP3s at once while the walk goes on, and prints everyone's lines in the
// walk's order, each job's lines together: the log reads as if one job had done it all.
class JobPool {
  public:
    // Prints into `log`'s stream, and its jobs log like it.
    JobPool(int jobs, const Log& log);
    JobPool(const JobPool&) = delete;
    JobPool& operator=(const JobPool&) = delete;
    ~JobPool();

    // Where the walk logs between jobs: printed after the jobs submitted before.
    Log& log() { return walk_segment_->log; }

    // Runs `work` on a free worker, with a log of its own that is printed in its turn. Waits
    // while all workers are busy, or while a job with the same `key` (the outputs it writes)
    // is running, so that two jobs never write the same output.
    void submit(const std::string& key, std::function<void(Log&)> work);

    // Waits for every job and prints what is left.
    void finish();

  private:
    struct Segment {
        explicit Segment(const Log& like);
        ~Segment();
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* stream;
        Log log;
        bool done = false;
    };
    struct Task {
        Segment* segment;
        std::string key;
        std::function<void(Log&)> work;
    };

    void work();
    void print_done();  // with mutex_ held

    std::FILE* out_;
    const Log& like_;
    int jobs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Segment>> segments_;
    // The walk's own: only the walk's thread moves it on, and no worker prints it before then.
    Segment* walk_segment_;
    std::deque<Task> tasks_;
    std::multiset<std::string> running_keys_;
    int running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace moh
