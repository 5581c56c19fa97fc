// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/sanitise.h"

#include <algorithm>

namespace moh {

bool is_safe_byte(unsigned char byte) {
    constexpr std::string_view kSigns = "@#%-_=:./";
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || kSigns.find(static_cast<char>(byte)) != kSigns.npos;
}

std::string sanitised_copy(std::string_view text) {
    std::string copy(text);
    std::replace_if(
        copy.begin(), copy.end(),
        [](char c) { return !is_safe_byte(static_cast<unsigned char>(c)); }, '_');
    return copy;
}

}  // namespace moh
