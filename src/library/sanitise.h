// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace moh {

// Whether a byte may stay in a path: ASCII letters, digits and "@#%-_=:./". Everything else,
// multi-byte characters included, is unsafe byte by byte.
bool is_safe_byte(unsigned char byte);

// The text with every unsafe byte replaced by "_"; same length.
std::string sanitised_copy(std::string_view text);

// Whether `name` ends in ".mp3", whatever the case of the extension.
bool is_mp3_name(std::string_view name);

// Whether `name` ends in ".wav" or ".WAV", the WAVs Asterisk looks for.
bool is_wav_name(std::string_view name);

// Audio that Asterisk never plays and sox may read, by its extension in any case: the MP3s and
// the other uploads that are converted like them where sox reads them, and named where it does
// not.
struct SourceType {
    std::string_view extension;  // lower case, without its dot
    std::string_view sox_type;   // as `sox -h` lists it when it reads it; empty: no sox does
};
const std::vector<SourceType>& source_types();

// The type `name` ends in, in any case; nullptr for anything else.
const SourceType* source_type(std::string_view name);

// Every spelling of ".`extension`" in upper and lower case, in byte order.
std::vector<std::string> spellings(std::string_view extension);

}  // namespace moh
