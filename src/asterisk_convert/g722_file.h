// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <optional>
#include <string>

namespace g722 {

// Encodes IN (headerless 16-bit signed little-endian mono at 16000 Hz) into OUT as headerless
// G.722 at 64 kbit/s: one byte per two samples, a last odd sample paired with itself, a trailing
// odd byte ignored. Memory stays constant whatever the length. OUT is written beside itself and
// renamed into place only once complete, so a failure never truncates or removes an existing OUT.
// Returns nothing on success, else one line naming the file and the reason.
std::optional<std::string> convert_file(const std::string& in_path, const std::string& out_path);

}  // namespace g722
