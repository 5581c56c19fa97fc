// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

namespace g729 {

// Encodes IN (headerless 16-bit signed little-endian mono at 8000 Hz) into OUT as G.729 Annex A
// frames with voice activity detection off: 10 bytes per 80 samples, a last partial frame padded
// with silence, a trailing odd byte ignored, and an odd number of frames made even with a frame
// of silence, since Asterisk plays 20 bytes at a time. Memory stays constant whatever the length.
// OUT is written beside itself and renamed into place only once complete, so a failure never
// truncates or removes an existing OUT. Returns nothing on success, else one line naming the file
// and the reason.
std::optional<std::string> convert_file(const std::string& in_path, const std::string& out_path);

}  // namespace g729
