#pragma once

#include <cstdio>
#include <string>

namespace moh {

// Where the progress log goes. Lines are printf-formatted, so "%g" and "%d" read as in C. A
// quiet log keeps only the lines that report a problem, so that a clean run prints nothing.
class Log {
  public:
    explicit Log(std::FILE* out, bool quiet = false) : out_(out), quiet_(quiet) {}

    // Progress: what is being done. Dropped when quiet.
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Something an administrator should look at. Always printed.
    void problem(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Called before every child process, whose own output would otherwise overtake ours.
    void flush() { std::fflush(out_); }
    bool quiet() const { return quiet_; }
    std::FILE* stream() const { return out_; }

  private:
    std::FILE* out_;
    bool quiet_;
};

// printf-style formatting into a string of whatever length the result needs.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace moh
