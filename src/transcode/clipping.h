#pragma once

#include <string>

namespace moh {

// Whether the capture of the last sox run holds the word "decrease", which sox prints when a
// conversion clipped. Only the bytes before the first zero byte count. Any failure to read the
// capture (none there, empty, unreadable, short read, no memory) counts as no clipping. The
// capture is deleted on every path, so that each run is judged on its own output.
bool clipping_reported(const std::string& capture_path);

}  // namespace moh
