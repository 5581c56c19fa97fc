// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/types.h>

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

// At most how many seconds of audio the first `size` bytes of the source open as `fd` hold, told
// from its headers alone: a FLAC's count of samples, a WAV's format, or an MP3's frame headers,
// each of which gives the
// length of its frame and of the audio it holds. A byte that belongs to no frame counts as the
// most audio any MP3 frame gives a byte, a millisecond (8 kbit/s); a file that is neither is
// counted so whole.
double seconds_at_most(int fd, off_t size);

}  // namespace moh
