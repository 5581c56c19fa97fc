#pragma once

#include <cstdio>
#include <string>

namespace moh {

// Where the progress log goes. Lines are printf-formatted, so "%g" and "%d" read as in C.
class Log {
  public:
    explicit Log(std::FILE* out) : out_(out) {}
    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Called before every child process, whose own output would otherwise overtake ours.
    void flush() { std::fflush(out_); }

  private:
    std::FILE* out_;
};

// printf-style formatting into a string of whatever length the result needs.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace moh
