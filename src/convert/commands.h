// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "process/runner.h"

namespace moh {

// Where a child finds what we hand it.
constexpr int kInputFd = 3;
constexpr int kOutputFd = 4;
constexpr const char* kInputLink = "/dev/fd/3";
constexpr const char* kOutputPath = "/dev/fd/4";

struct Rate {
    int hz;
    const char* suffix;             // of the link its readers open it by
    std::vector<const char*> kept;  // how the decoded audio is kept at this rate
};

// Each rate the formats are made at. GSM's encoder turns the least change in its input into
// other frames, so 8 kHz is kept whole: from it each format comes out as a direct conversion
// makes it. 16 kHz feeds linear formats alone, where 24 bits are as good, and keep the work
// directory within 2.5 times the size of the .sln16.
inline const Rate kRates[] = {
    {8000, ".8k", {"-t", "raw", "-e", "signed-integer", "-b", "32"}},
    {16000, ".16k", {"-t", "raw", "-e", "signed-integer", "-b", "24"}},
    {48000, ".48k", {"-t", "raw", "-e", "signed-integer", "-b", "24"}},
};
constexpr std::size_t k16k = 1;  // where the loudness is measured
// The bits of a sample kept at `rate`, and the bytes a second of audio takes there.
int kept_bits(const Rate& rate);
std::int64_t kept_bytes_per_second(const Rate& rate);
constexpr std::size_t kRateCount = std::size(kRates);

struct SoxFormat {
    std::string_view name;
    std::size_t rate;                 // in kRates
    std::vector<const char*> output;  // how the output is written
};

inline const SoxFormat kSoxFormats[] = {
    {"ulaw", 0, {"-t", "ul"}},
    {"alaw", 0, {"-t", "al"}},
    {"gsm", 0, {"-t", "gsm"}},
    {"sln", 0, {"-t", "raw", "-e", "signed-integer", "-b", "16"}},
    {"sln16", 1, {"-t", "raw", "-e", "signed-integer", "-b", "16"}},
    {"sln48", 2, {"-t", "raw", "-e", "signed-integer", "-b", "16"}},
};
constexpr std::size_t kSixSoxFormats = 5;  // the sox formats of the six, first in the table

const SoxFormat& sox_format(std::string_view name);

// A volume factor as sox gets it, and as the log shows it.
std::string factor_text(double factor);

// With --seamless each output begins with silence and a fade-in, and ends with a fade-out and a
// little silence, in seconds: a G.722 caller's decoder carries its state from one file into the
// next, and falls back into step with the encoder in the quiet between: after 50 ms of silence
// in front it was still out of step, with bursts less than 10 dB under steady tones. Made on the
// kept audio, so every format has the same edges and length.
struct Edges {
    double leading_silence = 0.2;
    double fade_in = 0.2;
    double fade_out = 0.05;  // made on the kept file, whose length a piped decode lacks
    double trailing_silence = 0.02;
};
constexpr Edges kSeamless;

// sox -R seeds its dither the same way every time: the same MP3 gives the same outputs. Each
// command does what a direct conversion's does at its stage: decoding at the factor and mixing
// to one channel, resampling, then dither and the output's encoding.
Child decode_command(const std::string& mp3, double factor);
// With `seamless`, it gives the audio its fade-in and its silences.
Child resample_command(const std::string& decoded, const Rate& rate, bool seamless = false);
// `kept` was decoded at `decoded`; the output is made at `factor`.
Child encode_command(const SoxFormat& format, const std::string& kept, double factor,
                     double decoded);

// Every command a conversion may run but the converter, at sample paths and factors, as one
// text: it changes whenever any of them does.
std::string conversion_commands();

}  // namespace moh
