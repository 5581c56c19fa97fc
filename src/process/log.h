// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace moh {

class Progress;

// Where the progress log goes. Lines are printf-formatted, so "%g" and "%d" read as in C, and
// end in their one newline; the rest of a line goes through escape_name(), so that no name can
// add lines of its own. A quiet log keeps only the lines that report a problem, so that a
// clean run prints nothing.
class Log {
  public:
    // With `priorities`, every line starts with its syslog priority, as the journal reads it:
    // <3> for a failure, <4> for another problem, <6> for the rest.
    explicit Log(std::FILE* out, bool quiet = false, bool priorities = false)
        : out_(out),
          quiet_(quiet),
          priorities_(priorities),
          problems_(std::make_shared<std::atomic<int>>(0)) {}
    // A log into `out` that writes like `like` and counts its problems with it: a job's lines
    // are its run's lines.
    Log(std::FILE* out, const Log& like)
        : out_(out),
          quiet_(like.quiet_),
          priorities_(like.priorities_),
          problems_(like.problems_) {}

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
    void print(const char* priority, const char* format, va_list args);

    std::FILE* out_;
    bool quiet_;
    bool priorities_;
    std::shared_ptr<std::atomic<int>> problems_;
};

// The log's stream onto a descriptor (standard output). A failed write does not stop the run:
// the rest of the log is dropped, and close() tells why, for the run to report at its end. On a
// terminal that also shows `progress`, the log's lines go above the progress line.
class LogOutput {
  public:
    explicit LogOutput(int fd, Progress* progress = nullptr);
    LogOutput(const LogOutput&) = delete;
    LogOutput& operator=(const LogOutput&) = delete;
    ~LogOutput() { close(); }

    std::FILE* stream() const { return stream_; }
    // Writes out what is left, and returns the errno of the first write that failed, or 0.
    int close();

  private:
    static ssize_t write(void* self, const char* bytes, std::size_t size);

    int fd_;
    Progress* progress_;
    int error_ = 0;
    std::FILE* stream_ = nullptr;
};

// Whether `fd` is the journal's stream: systemd names it in JOURNAL_STREAM as DEVICE:INODE.
bool is_journal_stream(int fd);

// `text` as the command prints it: each byte below 0x20, and 0x7F, as \xHH and a backslash as
// \\, so that a name written by someone else can neither act on a terminal nor start a line of
// its own. Bytes from 0x80 up stay as they are, so that UTF-8 names read as they are, but for
// the C1 controls: U+0080 to U+009F in UTF-8, and bytes 0x80 to 0x9F outside a UTF-8 character.
std::string escape_name(std::string_view text);

// printf-style formatting into a string of whatever length the result needs.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace moh
