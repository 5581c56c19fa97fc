// SPDX-License-Identifier: GPL-2.0-or-later
// Any output, in any pieces: the verdict matches a plain reading of its text, with the command's
// own paths taken out of each line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "convert/capture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte cuts the rest into pieces of that size, as a pipe might.
    const std::size_t piece = data[0] + 1u;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string own_path = "/run/moh-convert/1/decrease.mp3";
    moh::CaptureScanner scanner({own_path});
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        scanner.feed(std::string_view(bytes).substr(at, piece));
    }
    const moh::CaptureVerdict verdict = scanner.finish();

    const std::string_view text(bytes.data(), ::strnlen(bytes.data(), bytes.size()));
    bool clipped = false;
    std::string failure, first_line;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line(
            text.substr(start, std::min(end - start, moh::CaptureScanner::kLineLimit)));
        if (first_line.empty()) first_line = line;
        if (failure.empty() && line.rfind("sox FAIL ", 0) == 0) failure = line;
        for (auto at = line.find(own_path); at != std::string::npos; at = line.find(own_path, at)) {
            line.erase(at, own_path.size());
        }
        clipped = clipped || line.find("decrease") != std::string::npos;
        start = end + 1;
    }
    if (verdict.clipped != clipped || verdict.failure != failure ||
        verdict.first_line != first_line) {
        std::abort();
    }
    return 0;
}
