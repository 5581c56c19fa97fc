// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace moh {

// The outputs a conversion makes, each also its file's extension. The six that Asterisk's calls
// use most are always made, in this order.
inline constexpr std::array<std::string_view, 6> kOutputFormats = {"ulaw", "alaw",  "gsm",
                                                                   "sln",  "sln16", "g722"};
// Made when asked for, after the six: 48 kHz signed linear for Opus calls, which Asterisk
// otherwise resamples live, and G.729 Annex A, which it otherwise encodes live for every caller.
inline constexpr std::array<std::string_view, 2> kExtraFormats = {"sln48", "g729"};

// Every format this command can make, by name, for telling its outputs from other files.
bool is_output_format(std::string_view name);

// The bytes of one frame of the output format `name`: Asterisk reads whole frames and drops a
// torn last one (G.729 two 10-byte frames at a time). 1 where any length plays (G.711, G.722), 0
// for no format of ours.
std::size_t frame_bytes(std::string_view name);

// The formats of `--formats=LIST`: the six, then each other format the comma-separated list
// names, in its order. False, with the first unknown name in `unknown`, for a name that is no
// format.
bool parse_formats(std::string_view list, std::vector<std::string>& extras, std::string& unknown);

// The formats of a run that adds `extras` to the six, in the order they are made.
std::vector<std::string> run_formats(const std::vector<std::string>& extras);

}  // namespace moh
