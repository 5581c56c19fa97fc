// SPDX-License-Identifier: GPL-2.0-or-later
// Any name: the safe copy keeps the length and every safe byte, holds no unsafe byte, and is
// its own safe copy.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "library/sanitise.h"
#include "library/sources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string safe = moh::sanitised_copy(raw);
    if (safe.size() != raw.size() || moh::sanitised_copy(safe) != safe) std::abort();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto byte = static_cast<unsigned char>(raw[i]);
        if (!moh::is_safe_byte(static_cast<unsigned char>(safe[i]))) std::abort();
        if (moh::is_safe_byte(byte) && safe[i] != raw[i]) std::abort();
    }
    if (moh::is_mp3_name(raw) != moh::is_mp3_name(safe)) std::abort();
    return 0;
}
