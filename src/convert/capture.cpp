// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/capture.h"

namespace moh {
namespace {

constexpr std::string_view kClippingWord = "decrease";
constexpr std::string_view kFailurePrefix = "sox FAIL ";

}  // namespace

void CaptureScanner::feed(std::string_view bytes) {
    if (ended_) return;
    if (const auto zero = bytes.find('\0'); zero != std::string_view::npos) {
        bytes = bytes.substr(0, zero);
        ended_ = true;
    }
    while (!bytes.empty()) {
        const auto newline = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, newline);
        line_.append(piece.substr(0, kLineLimit - std::min(kLineLimit, line_.size())));
        if (newline == std::string_view::npos) break;
        take_line();
        bytes.remove_prefix(newline + 1);
    }
}

CaptureVerdict CaptureScanner::finish() {
    if (!line_.empty()) take_line();
    ended_ = true;
    return verdict_;
}

void CaptureScanner::take_line() {
    if (verdict_.first_line.empty()) verdict_.first_line = line_;
    if (verdict_.failure.empty() && line_.compare(0, kFailurePrefix.size(), kFailurePrefix) == 0) {
        verdict_.failure = line_;
    }
    for (const auto& path : own_paths_) {
        if (path.empty()) continue;
        for (auto at = line_.find(path); at != std::string::npos; at = line_.find(path, at)) {
            line_.erase(at, path.size());
        }
    }
    if (line_.find(kClippingWord) != std::string::npos) verdict_.clipped = true;
    line_.clear();
}

bool clipping_reported(std::string_view capture, const std::vector<std::string>& own_paths) {
    CaptureScanner scanner(own_paths);
    scanner.feed(capture);
    return scanner.finish().clipped;
}

}  // namespace moh
