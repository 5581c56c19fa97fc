// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "library/walk.h"
#include "process/log.h"
#include "process/runner.h"
#include "settings.h"
#include "support.h"

namespace test {

// A log whose text can be read back, at any moment, as far as it has been flushed.
class CapturedLog {
  public:
    explicit CapturedLog(bool quiet = false)
        : file_(::open_memstream(&buffer_, &size_)), log(file_, quiet) {}
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

inline moh::ChildResult exited(int code) {
    return {code << 8};
}

// The descriptor the child was handed as `number`, or -1.
inline int handed(const moh::Child& child, int number) {
    for (const auto& [ours, theirs] : child.fds) {
        if (theirs == number) return ours;
    }
    return -1;
}

inline void write_fd(int fd, const std::string& text) {
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("short write to descriptor " + std::to_string(fd));
    }
}

// Records every command line. By default it plays the tools: find prints `listing` (or, with
// `real_find`, what find really lists, sorted), sox
// writes "sox output" to the descriptor it gets as 4, and the converter writes its output path;
// `on_run` replaces that for a test, and may call play() for the default.
class FakeRunner : public moh::Runner {
  public:
    std::vector<std::string> commands;
    std::string listing;
    bool real_find = false;
    std::function<moh::ChildResult(const moh::Child&, const moh::OutputSink&)> on_run;

    moh::ChildResult run(const moh::Child& child, const moh::OutputSink& output) override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);  // jobs run children side by side
            commands.push_back(moh::command_line(child));
        }
        return on_run ? on_run(child, output) : play(child, output);
    }

    moh::ChildResult play(const moh::Child& child, const moh::OutputSink& output) {
        const std::string& program = child.argv.front();
        if (program == "find") {
            // The depth probe finds nothing; the listing command prints the listing.
            if (child.argv[2] != "-maxdepth") return {};
            if (!real_find) {
                output(listing);
                return {};
            }
            std::string found;
            moh::Spawner(std::chrono::seconds(10)).run(child, [&](std::string_view bytes) {
                found += bytes;
            });
            std::vector<std::string> lines;
            for (std::size_t at = 0; at < found.size();) {
                const auto end = found.find('\n', at);
                lines.push_back(found.substr(at, end - at + 1));
                at = end + 1;
            }
            std::sort(lines.begin(), lines.end());
            for (const auto& line : lines) output(line);
        } else if (program == "sox" && child.argv[1] == "-h") {
            output("SUPPORTED FILE FORMATS: wav mp3\nAUDIO FILE FORMATS: mp3 wav flac ogg\n");
        } else if (program == "sox") {
            write_fd(handed(child, 4), "sox output");
        } else if (child.argv.size() == 3 && child.argv[2].size() > 5 &&
                   child.argv[2].compare(child.argv[2].size() - 5, 5, ".g722") == 0) {
            write_file(child.argv[2], "g722 output");
        }
        return {};
    }

  private:
    std::mutex mutex_;
};

// A WAV that Asterisk plays as it is: 16-bit PCM, mono, 8000 Hz, with two samples.
inline const std::string kPlayableWav =
    std::string("RIFF\x28\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0", 24) +
    std::string("\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0data\x04\0\0\0\0\0\0\0", 24);

// What sox prints when a conversion clipped.
inline const char* kClippingMessage =
    "sox WARN rate: rate clipped 12 samples; decrease volume?\n"
    "sox WARN dither: dither clipped 10 samples; decrease volume?\n";

// Settings like the fixed ones, but every path inside `dir`.
inline moh::Settings private_settings(const TempDir& dir) {
    moh::Settings settings{dir / "mohmp3", dir / "moh-xx", dir / "asterisk_convert",
                           dir / "work",   dir / "lock",   dir / "state"};
    settings.asterisk_dir = dir / "asterisk";
    return settings;
}

// A run of its own: a private library and paths, a captured log and a recording runner.
struct FakeRun {
    TempDir dir;
    moh::Settings settings = private_settings(dir);
    moh::RunOptions options;
    CapturedLog log;
    FakeRunner runner;
    std::string lib = settings.library_dir;

    FakeRun() {
        ::mkdir(lib.c_str(), 0755);
        write_file(settings.converter_path, "the fake runner plays it");
        ::chmod(settings.converter_path.c_str(), 0755);
    }
    moh::WalkResult walk() { return moh::run_walk({settings, options, log.log, runner}); }
    // Lists the given library entries, one per line.
    void list(const std::vector<std::string>& names) {
        runner.listing.clear();
        for (const auto& name : names) runner.listing += lib + "/" + name + "\n";
    }
};

// The lines the chain prints for a clean MP3 with this stem.
inline std::string converts_of(const std::string& stem) {
    std::string lines;
    for (const char* format : {"ulaw", "alaw", "gsm", "sln", "sln16", "g722"}) {
        lines += "Convert " + stem + " to " + format + "\n";
    }
    return lines;
}

}  // namespace test
