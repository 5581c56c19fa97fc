// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace moh {

// Fades the `seconds` of the kept audio in `fd` that end `before_end` seconds before its end,
// raw signed little-endian samples of `bits` at `hz`, linearly out to silence, in place. Returns
// 0 or the errno of the failure.
int fade_out_end(int fd, int bits, int hz, double seconds, double before_end);

}  // namespace moh
