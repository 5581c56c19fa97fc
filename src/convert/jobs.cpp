// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/jobs.h"

#include <cstdlib>

namespace moh {

JobPool::Segment::Segment(const Log& like)
    : stream(::open_memstream(&buffer, &size)), log(stream, like) {}

JobPool::Segment::~Segment() {
    std::fclose(stream);
    std::free(buffer);
}

JobPool::JobPool(int jobs, const Log& log) : out_(log.stream()), like_(log), jobs_(jobs) {
    segments_.push_back(std::make_unique<Segment>(like_));
    walk_segment_ = segments_.back().get();
    for (int i = 0; i < jobs_; ++i) workers_.emplace_back([this] { work(); });
}

JobPool::~JobPool() {
    finish();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto& worker : workers_) worker.join();
}

void JobPool::submit(const std::string& key, std::function<void(Log&)> work) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return running_ < jobs_ && running_keys_.count(key) == 0; });
    walk_segment_->done = true;
    segments_.push_back(std::make_unique<Segment>(like_));
    Segment* job = segments_.back().get();
    segments_.push_back(std::make_unique<Segment>(like_));
    walk_segment_ = segments_.back().get();
    ++running_;
    running_keys_.insert(key);
    tasks_.push_back({job, key, std::move(work)});
    print_done();
    changed_.notify_all();
}

void JobPool::finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return running_ == 0; });
    walk_segment_->done = true;
    print_done();
    segments_.push_back(std::make_unique<Segment>(like_));
    walk_segment_ = segments_.back().get();
}

void JobPool::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task.work(task.segment->log);
        lock.lock();
        task.segment->done = true;
        --running_;
        running_keys_.erase(running_keys_.find(task.key));
        print_done();
        changed_.notify_all();
    }
}

void JobPool::print_done() {
    while (!segments_.empty() && segments_.front()->done) {
        Segment& segment = *segments_.front();
        std::fflush(segment.stream);
        std::fwrite(segment.buffer, 1, segment.size, out_);
        segments_.pop_front();
    }
    std::fflush(out_);
}

}  // namespace moh
