#pragma once

#include <string>

namespace moh {

// What the capture of one sox run says.
struct CaptureVerdict {
    bool clipped = false;  // it holds the word "decrease", which sox prints when it clipped
    std::string failure;   // its first "sox FAIL" line, which sox may print and still exit 0
};

// Reads the capture of the last sox run; only the bytes before the first zero byte count. A
// capture that cannot be read (none there, empty, unreadable, short read, no memory) says
// nothing. The capture is deleted on every path, so that each run is judged on its own output.
CaptureVerdict read_capture(const std::string& capture_path);

// Whether the capture of the last sox run reports clipping; deletes it as read_capture does.
bool clipping_reported(const std::string& capture_path);

}  // namespace moh
