#include "clipping.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace moh {
namespace {

constexpr std::string_view kClippingWord = "decrease";
constexpr std::string_view kFailurePrefix = "sox FAIL ";

// The capture's text up to its first zero byte; empty when it cannot be read.
std::string capture_text(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_size <= 0) return {};

    std::string bytes;
    try {
        bytes.resize(static_cast<std::size_t>(st.st_size));
    } catch (const std::exception&) {
        return {};  // a size no buffer can hold
    }
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"),
                                                                  &std::fclose);
    if (!file) return {};
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return {};
    bytes.resize(::strnlen(bytes.data(), bytes.size()));
    return bytes;
}

std::string first_failure_line(std::string_view text) {
    for (std::size_t start = 0; start < text.size();) {
        const auto end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        if (line.substr(0, kFailurePrefix.size()) == kFailurePrefix) return std::string(line);
        start = end + 1;
    }
    return {};
}

}  // namespace

CaptureVerdict read_capture(const std::string& capture_path) {
    const std::string text = capture_text(capture_path);
    ::unlink(capture_path.c_str());
    return {text.find(kClippingWord) != std::string::npos, first_failure_line(text)};
}

bool clipping_reported(const std::string& capture_path) {
    return read_capture(capture_path).clipped;
}

}  // namespace moh
