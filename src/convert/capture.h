// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace moh {

// What a child printed, as far as the conversion cares.
struct CaptureVerdict {
    bool clipped = false;    // sox said "decrease" (as in "decrease volume?") in its own words
    std::string failure;     // sox's first "sox FAIL" line, which it may print and still exit 0
    std::string first_line;  // the first line that is not empty, for a program that is not sox
};

// Reads a child's output as it comes and keeps only what the verdict needs: however much a child
// prints, no more than a few lines of it are held. Only the bytes before the first zero byte
// count. The command's own paths are taken out of each line before the search, so that a file
// whose name holds "decrease" is not taken for clipping when sox quotes it.
class CaptureScanner {
  public:
    explicit CaptureScanner(std::vector<std::string> own_paths = {})
        : own_paths_(std::move(own_paths)) {}

    void feed(std::string_view bytes);
    CaptureVerdict finish();

    // Longer lines are judged on this many bytes.
    static constexpr std::size_t kLineLimit = 4096;

  private:
    void take_line();

    std::vector<std::string> own_paths_;
    std::string line_;
    bool ended_ = false;  // a zero byte was seen
    CaptureVerdict verdict_;
};

// Whether a sox run that printed `capture` clipped; see CaptureScanner.
bool clipping_reported(std::string_view capture, const std::vector<std::string>& own_paths = {});

}  // namespace moh
