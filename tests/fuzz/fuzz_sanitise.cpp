// Any name: the safe copy keeps the length and every safe byte, holds no unsafe byte, and the
// rename on disk either happens completely or leaves the file where it was.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fakes.h"
#include "sanitise.h"

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

bool is_there(const std::string& path) {
    return test::exists(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const test::TempDir dir;
    const std::string raw(reinterpret_cast<const char*>(data), size);

    const std::string safe = moh::sanitised_copy(raw);
    require(safe.size() == raw.size(), "length kept");
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto byte = static_cast<unsigned char>(raw[i]);
        require(moh::is_safe_byte(static_cast<unsigned char>(safe[i])), "only safe bytes");
        require(!moh::is_safe_byte(byte) || safe[i] == raw[i], "safe bytes kept");
    }
    require(moh::sanitised_copy(safe) == safe, "a safe copy is its own safe copy");

    // The same bytes as a file name in a directory of its own.
    std::string name;
    for (const char c : raw) {
        if (c != '/' && c != '\0') name += c;
    }
    std::string path = dir / name;
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    const bool created = fd >= 0;
    if (created) ::close(fd);

    test::CapturedLog log;
    const std::string before = path;
    switch (moh::sanitise_path(path, log.log)) {
        case moh::SanitiseResult::kClean:
            require(moh::sanitised_copy(before) == before, "clean only when safe");
            require(path == before, "clean path unchanged");
            require(log.text() == "Leave the name " + before + " alone\n", "clean line");
            break;
        case moh::SanitiseResult::kRenamed:
            require(created, "renamed only what exists");
            require(path == moh::sanitised_copy(before), "renamed to the safe copy");
            require(is_there(path) && !is_there(before), "rename complete");
            break;
        case moh::SanitiseResult::kRenameFailed:
            require(path == before, "a failed rename keeps the entry");
            require(!created || is_there(before), "a failed rename keeps the file");
            break;
    }
    ::unlink(before.c_str());
    ::unlink(path.c_str());
    return 0;
}
