#include "sanitise.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace moh {

bool is_safe_byte(unsigned char byte) {
    constexpr std::string_view kSigns = "@#%-_=:./";
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || kSigns.find(static_cast<char>(byte)) != kSigns.npos;
}

std::string sanitised_copy(const std::string& path) {
    std::string copy = path;
    std::replace_if(
        copy.begin(), copy.end(),
        [](char c) { return !is_safe_byte(static_cast<unsigned char>(c)); }, '_');
    return copy;
}

SanitiseResult sanitise_path(std::string& path, Log& log) {
    const std::string safe = sanitised_copy(path);
    if (safe == path) {
        log.print("Leave the name %s alone\n", path.c_str());
        return SanitiseResult::kClean;
    }
    // Two names that differ only in unsafe bytes share a safe name: never replace the other file.
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, safe.c_str(), RENAME_NOREPLACE) != 0) {
        log.print("Couldn't rename %s => %s: %s\n", path.c_str(), safe.c_str(),
                  std::strerror(errno));
        return SanitiseResult::kRenameFailed;
    }
    log.print("Changed %s => %s\n", path.c_str(), safe.c_str());
    path = safe;
    return SanitiseResult::kRenamed;
}

}  // namespace moh
