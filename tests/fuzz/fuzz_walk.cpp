// SPDX-License-Identifier: GPL-2.0-or-later
// Any listing: the walk ends with its summary, no command it runs holds a byte outside the safe
// set, nothing outside the library changes, and no private path outlives the run. "@L" in the
// input stands for the library directory, whose name differs from run to run.
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fakes.h"
#include "library/sanitise.h"

namespace {

void require(bool condition, const char* what, const std::string& detail = "") {
    if (!condition) {
        std::fprintf(stderr, "broken: %s: %s\n", what, detail.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const test::TempDir dir;
    static const moh::Settings settings = test::private_settings(dir);
    const std::string& lib = settings.library_dir;
    std::string listing(reinterpret_cast<const char*>(data), size);
    for (auto at = listing.find("@L"); at != std::string::npos;
         at = listing.find("@L", at + lib.size())) {
        listing.replace(at, 2, lib);
    }

    // A small library, laid anew for each input, with a way out of it for the walk to refuse.
    std::filesystem::remove_all(lib);
    std::filesystem::remove_all(dir / "outside");
    ::mkdir(lib.c_str(), 0755);
    ::mkdir((lib + "/sub dir").c_str(), 0755);
    ::mkdir((dir / "outside").c_str(), 0755);
    for (const char* name : {"a.mp3", "a b.mp3", "a_b.mp3", "sub dir/c.mp3", "x.wav", "y\nz.MP3"}) {
        test::write_file(lib + "/" + name, name[0] == 'x' ? test::kPlayableWav : "audio");
    }
    test::write_file(dir / "outside/o.mp3", "audio");
    ::symlink((dir / "outside").c_str(), (lib + "/out").c_str());
    ::symlink((dir / "outside/o.mp3").c_str(), (lib + "/o.mp3").c_str());

    test::FakeRunner runner;
    runner.listing = listing;
    std::atomic<std::size_t> sox_runs{0};  // a decoding runs its children side by side
    runner.on_run = [&](const moh::Child& child, const moh::OutputSink& output) {
        for (const auto& word : child.argv) {
            for (const char c : child.argv[0] == "find" ? std::string() : word) {
                require(moh::is_safe_byte(static_cast<unsigned char>(c)), "unsafe byte",
                        moh::command_line(child));
            }
        }
        // Clip now and then, as the input decides, to drive the back-off too.
        if (child.argv[0] == "sox" && size > 0 && (data[sox_runs++ % size] & 1)) {
            output("decrease volume?");
        }
        return runner.play(child, output);
    };
    test::CapturedLog log;
    const moh::RunOptions options;
    const int status = moh::run_walk({settings, options, log.log, runner}).status;
    require(status == 0 || status == 1, "exit status");
    const std::string text = log.text();
    require(text.size() >= 19 && text.compare(text.size() - 19, 19, "Now, to the db....\n") == 0,
            "summary last");
    require(test::list_dir(dir / "outside") == "o.mp3", "outside the library changed");
    require(!test::exists(settings.work_dir), "private paths left behind");
    return 0;
}
