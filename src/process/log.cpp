#include "process/log.h"

#include <cstdarg>

namespace moh {

void Log::info(const char* format, ...) {
    if (quiet_) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
}

void Log::problem(const char* format, ...) {
    ++*problems_;
    va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
}

void Log::failure(const char* format, ...) {
    ++*problems_;
    va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
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
