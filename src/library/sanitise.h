// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace moh {

// Whether a byte may stay in a path: ASCII letters, digits and "@#%-_=:./". Everything else,
// multi-byte characters included, is unsafe byte by byte.
bool is_safe_byte(unsigned char byte);

// The text with every unsafe byte replaced by "_"; same length.
std::string sanitised_copy(std::string_view text);

}  // namespace moh
