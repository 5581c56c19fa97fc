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

namespace {

// The length of the well-formed UTF-8 character that starts at `at`; 0 when none does.
std::size_t utf8_length(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || at + length > text.size()) return 0;
    // No overlong form (a C1 control in disguise), no surrogate, nothing past U+10FFFF.
    const auto second = static_cast<unsigned char>(text[at + 1]);
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (second < low || second > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (byte < 0x80 || byte > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string escape_name(std::string_view text) {
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    const auto escape = [&](unsigned char byte) {
        shown += "\\x";
        shown += kHex[byte >> 4];
        shown += kHex[byte & 0xF];
    };
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x20 || byte == 0x7F) {
            escape(byte);
        } else if (byte < 0x80) {
            if (byte == '\\') shown += '\\';
            shown += static_cast<char>(byte);
        } else if (const std::size_t length = utf8_length(text, at); length > 0) {
            // U+0080 to U+009F are the C1 controls, which some terminals act on.
            const auto next = static_cast<unsigned char>(text[at + 1]);
            if (byte == 0xC2 && next <= 0x9F) {
                escape(byte);
                escape(next);
            } else {
                shown += text.substr(at, length);
            }
            at += length;
            continue;
        } else if (byte <= 0x9F) {
            escape(byte);  // on a terminal of single bytes, a C1 control itself
        } else {
            shown += static_cast<char>(byte);
        }
        ++at;
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
