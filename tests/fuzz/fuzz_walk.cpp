// Any listing: the walk ends with status 0 and its summary, and no command it runs holds a byte
// outside the safe set or names anything outside the library. "@L" in the input stands for the
// library directory, whose name differs from run to run.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fakes.h"
#include "sanitise.h"
#include "walk.h"

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
    std::string listing(reinterpret_cast<const char*>(data), size);
    for (auto at = listing.find("@L"); at != std::string::npos;
         at = listing.find("@L", at + settings.library_dir.size())) {
        listing.replace(at, 2, settings.library_dir);
    }

    // A small library, laid anew for each input, for the listing's renames to work on.
    std::filesystem::remove_all(settings.library_dir);
    ::mkdir(settings.library_dir.c_str(), 0755);
    ::mkdir((settings.library_dir + "/sub dir").c_str(), 0755);
    for (const char* name : {"a.mp3", "a b.mp3", "a_b.mp3", "sub dir/c.mp3", "x.wav"}) {
        test::write_file(settings.library_dir + "/" + name, "audio");
    }

    test::FakeRunner runner;
    std::size_t sox_runs = 0;
    runner.on_run = [&](const std::string& command) {
        if (command == moh::listing_command(settings)) {
            test::write_file(settings.listing_path, listing);
            return 0;
        }
        // Words are the fixed ones of each command and paths: a path with an unsafe byte would
        // show as a word with it, or as a word too many.
        std::size_t words = 0;
        for (std::size_t start = 0; start <= command.size(); ++words) {
            const std::size_t end = std::min(command.find(' ', start), command.size());
            const std::string word = command.substr(start, end - start);
            if (word != ">" && word != "2>&1") {
                for (const char c : word) {
                    require(moh::is_safe_byte(static_cast<unsigned char>(c)), "unsafe byte",
                            command);
                }
            }
            start = end + 1;
        }
        require(words == 3 || words == 12 || words == 14, "word count", command);
        require(command.find(" " + settings.library_dir + "/") != std::string::npos,
                "command outside the library", command);
        // Clip now and then, as the input decides, to drive the back-off too.
        if (command.rfind("sox ", 0) == 0 && size > 0 && (data[sox_runs++ % size] & 1)) {
            test::write_file(settings.capture_path, "decrease volume?");
        }
        return 0;
    };
    test::CapturedLog log;
    require(moh::run_walk({settings, log.log, runner}) == 0, "exit status");
    const std::string text = log.text();
    require(text.size() >= 19 && text.compare(text.size() - 19, 19, "Now, to the db....\n") == 0,
            "summary last");
    require(!test::exists(settings.capture_path), "capture left behind");
    return 0;
}
