// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/tools.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace moh {
namespace {

constexpr const char* kSoxNotRun = "it could not be run";

// Why sox cannot convert MP3 here (why it cannot be run, or its list of formats has no mp3);
// empty when it can. `runs` tells whether sox could be run at all, and `formats` gets the audio
// formats it lists.
std::string sox_cannot_convert_mp3(Runner& runner, bool& runs,
                                   std::set<std::string, std::less<>>& formats) {
    std::string help;
    constexpr std::size_t kEnough = 64 * 1024;
    const ChildResult result = runner.run({{"sox", "-h"}, {}}, [&](std::string_view bytes) {
        help.append(bytes.substr(0, kEnough - std::min(kEnough, help.size())));
    });
    runs = result.refused.empty() &&
           !(WIFEXITED(result.wait_status) && WEXITSTATUS(result.wait_status) == 127);
    if (result.interrupted) return {};
    if (!result.refused.empty()) return result.refused;
    if (!runs) return kSoxNotRun;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        constexpr std::string_view kFormats = "AUDIO FILE FORMATS:";
        if (line.compare(0, kFormats.size(), kFormats) != 0) continue;
        std::istringstream words(line.substr(kFormats.size()));
        for (std::string word; words >> word;) formats.insert(word);
        return formats.count("mp3") > 0 ? "" : "its list of formats has no mp3";
    }
    return "it printed no list of formats";
}

// Why the converter at `path` cannot be run; empty when it can.
std::string converter_unusable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (::access(path.c_str(), X_OK) != 0) return std::strerror(errno);
    if (const std::string why = others_can_change(path); !why.empty())
        return "an account other than root can change it (" + why + ")";
    return {};
}

}  // namespace

Tools check_tools(const Settings& settings, const std::vector<std::string>& extras, Runner& runner,
                  Log& log) {
    Tools tools;
    const std::string sox = sox_cannot_convert_mp3(runner, tools.sox, tools.sox_formats);
    if (!sox.empty()) {
        log.failure("sox cannot convert MP3 here: %s; no MP3 is converted this run\n", sox.c_str());
        tools.sox_mp3 = false;
    }
    const std::string& path = settings.converter_path;
    const std::string converter = converter_unusable(path);
    if (!converter.empty()) {
        log.failure("The G.722 converter %s cannot be run: %s; no .g722 is made this run\n",
                    path.c_str(), converter.c_str());
        tools.converter = false;
    }
    if (std::find(extras.begin(), extras.end(), "g729") != extras.end()) {
        const std::string& g729 = settings.g729_converter_path;
        const std::string unusable = converter_unusable(g729);
        if (!unusable.empty()) {
            log.failure("The G.729 converter %s cannot be run: %s; no .g729 is made this run\n",
                        g729.c_str(), unusable.c_str());
            tools.g729 = false;
        }
    }
    return tools;
}

}  // namespace moh
