// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/sources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "formats/playable.h"
#include "library/entries.h"
#include "library/sanitise.h"

namespace moh {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `name` ends in "." and `extension`, lower case, in any case.
bool ends_in(std::string_view name, std::string_view extension) {
    if (name.size() <= extension.size()) return false;
    const std::string_view tail = name.substr(name.size() - extension.size());
    return name[name.size() - extension.size() - 1] == '.' &&
           std::equal(tail.begin(), tail.end(), extension.begin(),
                      [](char a, char b) { return lower(a) == b; });
}

}  // namespace

bool is_mp3_name(std::string_view name) {
    return ends_in(name, "mp3");
}

bool is_wav_name(std::string_view name) {
    return name.ends_with(".wav") || name.ends_with(".WAV");
}

const std::vector<SourceType>& source_types() {
    // The order is the precedence among sources of one stem: they write the same outputs. Each
    // sox name is no longer than its extension, so that a conversion's private link by that name
    // fits wherever the source's name did. No sox we know reads the last three.
    static const std::vector<SourceType> types = {
        {"mp3", "mp3"},   {"flac", "flac"}, {"ogg", "ogg"}, {"oga", "ogg"},
        {"opus", "opus"}, {"aiff", "aiff"}, {"aif", "aif"}, {"mp2", "mp2"},
        {"m4a", ""},      {"aac", ""},      {"wma", ""},
    };
    return types;
}

const SourceType* source_type(std::string_view name) {
    for (const SourceType& type : source_types()) {
        if (ends_in(name, type.extension)) return &type;
    }
    return nullptr;
}

std::vector<std::string> spellings(std::string_view extension) {
    std::vector<std::string> all{"."};
    for (const char c : extension) {
        std::vector<std::string> longer;
        for (const std::string& start : all) {
            longer.push_back(start + c);
            if (c >= 'a' && c <= 'z') longer.push_back(start + static_cast<char>(c - 'a' + 'A'));
        }
        all = std::move(longer);
    }
    std::sort(all.begin(), all.end());
    return all;
}

bool converted_here(const SourceType& type, const Tools& tools) {
    return !type.sox_type.empty() &&
           (type.sox_type == "mp3" || !tools.sox || tools.sox_reads(type.sox_type));
}

int count_to_convert(const Library& library, int listing, const Tools& tools) {
    const off_t start = ::lseek(listing, 0, SEEK_CUR);
    int count = 0;
    {
        ListingReader reader(Fd(::fcntl(listing, F_DUPFD_CLOEXEC, 0)));
        ListedEntries entries(library, reader);
        Entry entry;
        while (entries.next(entry)) {
            if (!entry.inside || entry.error != 0 || entry.name.front() == '.' ||
                S_ISDIR(entry.st.st_mode))
                continue;
            const std::string safe = sanitised_copy(entry.name);
            if (const SourceType* type = source_type(safe)) {
                if (converted_here(*type, tools)) ++count;
                continue;
            }
            if (!is_wav_name(safe)) continue;
            std::string reason;
            const Fd file =
                library.open_source(entry.dir->get(), entry.name, entry.relative(), reason);
            if (!file) continue;
            const Playability playability = judge_playable(safe, file.get());
            if (!playability.plays && playability.convertible) ++count;
        }
    }
    ::lseek(listing, start, SEEK_SET);
    return count;
}

}  // namespace moh
