#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

namespace moh {

// Where the progress log goes. Lines are printf-formatted, so "%g" and "%d" read as in C. A
// quiet log keeps only the lines that report a problem, so that a clean run prints nothing.
class Log {
  public:
    explicit Log(std::FILE* out, bool quiet = false)
        : out_(out), quiet_(quiet), problems_(std::make_shared<std::atomic<int>>(0)) {}
    // A log into `out` that writes like `like` and counts its problems with it: a job's lines
    // are its run's lines.
    Log(std::FILE* out, const Log& like)
        : out_(out), quiet_(like.quiet_), problems_(like.problems_) {}

    // Progress: what is being done. Dropped when quiet.
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Something an administrator should look at. Always printed; makes the run's status 1.
    void problem(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Something that was tried and failed. Always printed; makes the run's status 1.
    void failure(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Called before every child process, whose own output would otherwise overtake ours.
    void flush() { std::fflush(out_); }
    bool quiet() const { return quiet_; }
    std::FILE* stream() const { return out_; }
    // Whether any problem or failure line was logged, here or in a log made like this one.
    bool had_problems() const { return problems_->load() != 0; }

  private:
    std::FILE* out_;
    bool quiet_;
    std::shared_ptr<std::atomic<int>> problems_;
};

// printf-style formatting into a string of whatever length the result needs.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace moh
