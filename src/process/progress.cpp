// SPDX-License-Identifier: GPL-2.0-or-later
#include "process/progress.h"

#include <sys/ioctl.h>
#include <termios.h>

#include "process/fd.h"
#include "process/log.h"

namespace moh {
namespace {

constexpr std::string_view kEraseLine = "\r\033[K";

// The columns the terminal has; 80 when it does not say.
int terminal_width(int fd) {
    winsize size{};
    return ::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// The length of the UTF-8 sequence that starts `text` (1 for ASCII), or 0 when it is not one.
std::size_t utf8_length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    if (length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

bool is_wide(char32_t code) {
    return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
           (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
           (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
           (code >= 0xFFE0 && code <= 0xFFE6) || code >= 0x1F300;
}

// `text` as a terminal can show it, in at most `columns` columns: control characters (C1 ones
// too) and bytes that are not UTF-8 become '?'. A character takes one column, or two in the
// wide East Asian and emoji ranges; a combining mark counts one, which at worst cuts early.
std::string printable(std::string_view text, int columns) {
    std::string shown;
    while (!text.empty()) {
        const std::size_t length = utf8_length(text);
        char32_t code = static_cast<unsigned char>(text[0]);
        if (length > 1) {
            code &= 0x7Fu >> length;
            for (std::size_t i = 1; i < length; ++i) code = code << 6 | (text[i] & 0x3F);
        }
        const int width = length > 1 && is_wide(code) ? 2 : 1;
        if (width > columns) break;
        columns -= width;
        if (length == 0 || code < 0x20 || (code >= 0x7F && code < 0xA0)) {
            shown += '?';
            text.remove_prefix(std::max<std::size_t>(length, 1));
        } else {
            shown += text.substr(0, length);
            text.remove_prefix(length);
        }
    }
    return shown;
}

}  // namespace

void Progress::start(int total) {
    const std::lock_guard<std::mutex> lock(mutex_);
    total_ = total;
}

void Progress::show(int n, const std::string& path) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::string count = format_text("[%d/%d] ", n, total_);
    // One column short of the width: a line that fills it leaves some terminals on the next.
    const int room = terminal_width(terminal_) - 1 - static_cast<int>(count.size());
    line_ = count + printable(escape_name(path), room);
    draw();
}

void Progress::clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) write_all(terminal_, kEraseLine);
    shown_ = false;
}

int Progress::write_above(int fd, std::string_view bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) write_all(terminal_, kEraseLine);
    const int error = write_all(fd, bytes);
    if (shown_) draw();
    return error;
}

void Progress::draw() {
    // Its own line on the terminal is best effort: a failed write is only a missed redraw.
    write_all(terminal_, std::string(kEraseLine) + line_);
    shown_ = true;
}

}  // namespace moh
