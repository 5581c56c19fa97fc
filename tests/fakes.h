#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "command_runner.h"
#include "convert.h"
#include "log.h"
#include "settings.h"
#include "support.h"

namespace test {

// A log whose text can be read back, at any moment, as far as it has been flushed.
class CapturedLog {
  public:
    CapturedLog() : file_(::open_memstream(&buffer_, &size_)), log(file_) {}
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;
    ~CapturedLog() {
        std::fclose(file_);
        std::free(buffer_);
    }
    std::string flushed() const { return std::string(buffer_, size_); }
    std::string text() {
        log.flush();
        return flushed();
    }

  private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;

  public:
    moh::Log log;
};

// Records every command line; `on_run` decides what each one does and returns its wait status.
class FakeRunner : public moh::CommandRunner {
  public:
    std::vector<std::string> commands;
    std::function<int(const std::string&)> on_run;

    int run(const std::string& command_line) override {
        commands.push_back(command_line);
        return on_run ? on_run(command_line) : 0;
    }
};

constexpr int exited(int code) {
    return code << 8;
}

// Settings like the fixed ones, but every path inside `dir`.
inline moh::Settings private_settings(const TempDir& dir) {
    return {dir / "mohmp3", dir / "moh-xx", dir / "xxx", dir / "asterisk_convert"};
}

// What sox prints when a conversion clipped.
inline const char* kClippingMessage =
    "sox WARN rate: rate clipped 12 samples; decrease volume?\n"
    "sox WARN dither: dither clipped 10 samples; decrease volume?\n";

// Makes sox run number i (counting sox runs only, from 0) report clipping when clips(i) says so.
inline std::function<int(const std::string&)> sox_clipping(const std::string& capture,
                                                           std::function<bool(int)> clips) {
    auto sox_runs = std::make_shared<int>(0);
    return [=](const std::string& command) {
        if (command.rfind("sox ", 0) == 0 && clips((*sox_runs)++)) {
            write_file(capture, kClippingMessage);
        }
        return 0;
    };
}

// A run of its own: private paths, a captured log and a recording runner.
struct FakeRun {
    TempDir dir;
    moh::Settings settings = private_settings(dir);
    CapturedLog log;
    FakeRunner runner;
    moh::Context context{settings, log.log, runner};
};

}  // namespace test
