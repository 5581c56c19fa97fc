// Any capture: the verdict matches a plain reading of its text, and the capture is gone after.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "clipping.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const test::TempDir dir;
    static const std::string capture = dir / "xxx";
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    test::write_file(capture, bytes);

    const moh::CaptureVerdict verdict = moh::read_capture(capture);

    const std::string_view text(bytes.data(), ::strnlen(bytes.data(), bytes.size()));
    bool failure_line_found = false;
    std::size_t line_start = 0;
    while (line_start <= text.size() && !failure_line_found) {
        std::size_t line_end = text.find('\n', line_start);
        if (line_end == std::string_view::npos) line_end = text.size();
        const std::string_view line = text.substr(line_start, line_end - line_start);
        if (line.substr(0, 9) == "sox FAIL ") {
            failure_line_found = true;
            if (verdict.failure != line) std::abort();
        }
        line_start = line_end + 1;
    }
    if (verdict.clipped != (text.find("decrease") != std::string_view::npos)) std::abort();
    if (!failure_line_found && !verdict.failure.empty()) std::abort();
    if (test::exists(capture)) std::abort();
    return 0;
}
