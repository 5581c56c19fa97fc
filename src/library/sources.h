// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "convert/tools.h"
#include "library/library.h"

namespace moh {

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

// Whether a source of `type` goes to conversion; what this sox cannot read is named instead. MP3s,
// and every source where sox cannot be run, wait on the one line that said so.
bool converted_here(const SourceType& type, const Tools& tools);

// The sources a run will convert, for the progress line and the interruption line: the MP3s
// (hidden files aside), the other sources sox reads, and the WAVs that Asterisk refuses and sox
// can convert. Reads the listing `listing` from where it stands and puts it back there.
int count_to_convert(const Library& library, int listing, const Tools& tools);

}  // namespace moh
