#include "clipping.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace moh {
namespace {

constexpr std::string_view kClippingWord = "decrease";

bool capture_holds_word(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_size <= 0) return false;

    std::string bytes;
    try {
        bytes.resize(static_cast<std::size_t>(st.st_size));
    } catch (const std::exception&) {
        return false;  // a size no buffer can hold
    }
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"),
                                                                  &std::fclose);
    if (!file) return false;
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;

    const std::string_view text(bytes.data(), ::strnlen(bytes.data(), bytes.size()));
    return text.find(kClippingWord) != std::string_view::npos;
}

}  // namespace

bool clipping_reported(const std::string& capture_path) {
    const bool clipped = capture_holds_word(capture_path);
    ::unlink(capture_path.c_str());
    return clipped;
}

}  // namespace moh
