// SPDX-License-Identifier: GPL-2.0-or-later
#include "process/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdlib>

#include "process/fd.h"
#include "process/progress.h"

namespace moh {

void Log::info(const char* format, ...) {
    if (quiet_) return;
    va_list args;
    va_start(args, format);
    print("<6>", format, args);
    va_end(args);
}

void Log::problem(const char* format, ...) {
    ++*problems_;
    va_list args;
    va_start(args, format);
    print("<4>", format, args);
    va_end(args);
}

void Log::failure(const char* format, ...) {
    ++*problems_;
    va_list args;
    va_start(args, format);
    print("<3>", format, args);
    va_end(args);
}

void Log::print(const char* priority, const char* format, va_list args) {
    char* formatted = nullptr;
    const int length = ::vasprintf(&formatted, format, args);
    if (length < 0) return;
    const std::unique_ptr<char, decltype(&std::free)> owned(formatted, &std::free);
    std::string_view text(formatted, static_cast<std::size_t>(length));
    // Once here, every name is escaped whichever argument brought it in: a newline other than
    // the last came from a name, and would forge a line of its own (with its own priority).
    const bool ended = text.ends_with('\n');
    if (ended) text.remove_suffix(1);
    std::string line = priorities_ ? priority : "";
    line += escape_name(text);
    if (ended) line += '\n';
    std::fwrite(line.data(), 1, line.size(), out_);
}

LogOutput::LogOutput(int fd, Progress* progress) : fd_(fd), progress_(progress) {
    const cookie_io_functions_t functions{nullptr, &LogOutput::write, nullptr, nullptr};
    stream_ = ::fopencookie(this, "w", functions);
    // As stdout would be: line by line to a person, in blocks to anything else.
    if (stream_ != nullptr) std::setvbuf(stream_, nullptr, ::isatty(fd) ? _IOLBF : _IOFBF, BUFSIZ);
}

int LogOutput::close() {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
    return error_;
}

ssize_t LogOutput::write(void* self, const char* bytes, std::size_t size) {
    auto& output = *static_cast<LogOutput*>(self);
    const std::string_view text(bytes, size);
    if (output.error_ == 0) {
        output.error_ = output.progress_ != nullptr
                            ? output.progress_->write_above(output.fd_, text)
                            : write_all(output.fd_, text);
    }
    return static_cast<ssize_t>(size);
}

bool is_journal_stream(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    uintmax_t device = 0, inode = 0;
    char end = 0;
    struct stat st {};
    return stream != nullptr &&
           std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &end) == 2 &&
           ::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

std::string escape_name(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            constexpr std::string_view kHex = "0123456789abcdef";
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xF];
        } else {
            if (c == '\\') shown += '\\';
            shown += c;
        }
    }
    return shown;
}

std::string format_text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    // vsnprintf writes a terminating zero, which std::string's own terminator has room for.
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

}  // namespace moh
