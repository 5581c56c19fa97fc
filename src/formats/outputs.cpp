// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/outputs.h"

#include <algorithm>
#include <utility>

namespace moh {

bool is_output_format(std::string_view name) {
    return std::find(kOutputFormats.begin(), kOutputFormats.end(), name) != kOutputFormats.end() ||
           std::find(kExtraFormats.begin(), kExtraFormats.end(), name) != kExtraFormats.end();
}

std::size_t frame_bytes(std::string_view name) {
    constexpr std::pair<std::string_view, std::size_t> kFrames[] = {
        {"ulaw", 1},  {"alaw", 1}, {"gsm", 33},  {"sln", 2},
        {"sln16", 2}, {"g722", 1}, {"sln48", 2}, {"g729", 20},
    };
    for (const auto& [format, bytes] : kFrames) {
        if (format == name) return bytes;
    }
    return 0;
}

bool parse_formats(std::string_view list, std::vector<std::string>& extras, std::string& unknown) {
    extras.clear();
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string name(list.substr(start, comma - start));
        start = comma + 1;
        if (!is_output_format(name)) {
            unknown = name;
            return false;
        }
        const bool six =
            std::find(kOutputFormats.begin(), kOutputFormats.end(), name) != kOutputFormats.end();
        if (!six && std::find(extras.begin(), extras.end(), name) == extras.end())
            extras.push_back(name);
    }
    return true;
}

std::vector<std::string> run_formats(const std::vector<std::string>& extras) {
    std::vector<std::string> formats(kOutputFormats.begin(), kOutputFormats.end());
    formats.insert(formats.end(), extras.begin(), extras.end());
    return formats;
}

}  // namespace moh
