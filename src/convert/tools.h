// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>

#include "process/runner.h"

namespace moh {

// What sox_cannot_convert_mp3 says of a sox that cannot be run at all.
inline constexpr const char* kSoxNotRun = "it could not be run";

// Why sox cannot convert MP3 here (kSoxNotRun, or its list of formats has no mp3); empty when
// it can.
std::string sox_cannot_convert_mp3(Runner& runner);

// Why the G.722 converter at `path` cannot be run; empty when it can.
std::string converter_unusable(const std::string& path);

}  // namespace moh
