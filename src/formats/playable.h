// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace moh {

// What Asterisk makes of a file it would open as it is, judged by its name and its first bytes.
struct Playability {
    bool plays = true;         // Asterisk plays it as it is
    bool convertible = false;  // a WAV it refuses, which sox can be asked to convert
    std::string reason;        // why it does not play, in a few words a person can act on
};

// Judges the file `name`, open as `fd`, by the rules of the format its name gives: a ".wav" must
// be 16-bit PCM, mono, 8000 Hz; a ".WAV" GSM 6.10 in the layout Asterisk reads; a headerless
// ".ulaw", ".alaw" or ".gsm" must not begin with a container's header, and a ".gsm" must be
// whole frames, each with its signature. Other names play as far as this knows. Reads at most
// a header's worth of bytes, but every frame of a ".gsm".
Playability judge_playable(std::string_view name, int fd);

}  // namespace moh
