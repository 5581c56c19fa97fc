// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/tools.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace moh {

std::string sox_cannot_convert_mp3(Runner& runner) {
    std::string help;
    constexpr std::size_t kEnough = 64 * 1024;
    const ChildResult result = runner.run({{"sox", "-h"}, {}}, [&](std::string_view bytes) {
        help.append(bytes.substr(0, kEnough - std::min(kEnough, help.size())));
    });
    if (result.interrupted) return {};
    if (WIFEXITED(result.wait_status) && WEXITSTATUS(result.wait_status) == 127) return kSoxNotRun;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        constexpr std::string_view kFormats = "AUDIO FILE FORMATS:";
        if (line.compare(0, kFormats.size(), kFormats) != 0) continue;
        std::istringstream words(line.substr(kFormats.size()));
        for (std::string word; words >> word;) {
            if (word == "mp3") return {};
        }
        return "its list of formats has no mp3";
    }
    return "it printed no list of formats";
}

std::string converter_unusable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (::access(path.c_str(), X_OK) != 0) return std::strerror(errno);
    return {};
}

}  // namespace moh
