// The walk and the chain with real processes: real find and sox, our real converter, on audio
// made here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "fakes.h"
#include "library/walk.h"

namespace {

using test::TempDir;

class RealTools : public ::testing::Test {
  protected:
    TempDir dir;
    moh::Settings settings = [this] {
        moh::Settings s = test::private_settings(dir);
        s.converter_path = ASTERISK_CONVERT_BIN;
        return s;
    }();
    moh::RunOptions options;
    test::CapturedLog log;
    std::string lib = settings.library_dir;

    void SetUp() override { ::mkdir(lib.c_str(), 0755); }
    void make_audio(const std::string& name, const std::string& format,
                    const std::string& effects) {
        const auto made = test::run_shell("sox -n " + format + " '" + lib + "/" + name + "' " +
                                          effects + " 2>&1");
        ASSERT_EQ(made.status, 0) << made.output;
    }
    moh::WalkResult walk() {
        moh::Spawner runner(settings.child_time_limit);
        return moh::run_walk({settings, options, log.log, runner});
    }
    std::size_t size_of(const std::string& name) const {
        struct stat st {};
        return ::stat((lib + "/" + name).c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size)
                                                            : 0;
    }
};

TEST_F(RealTools, QuietMp3BecomesSixOutputsOfMatchingLengths) {
    make_audio("quiet.mp3", "-r 44100 -c 2 -t mp3", "synth 1 sine 440 vol 0.3");
    ASSERT_EQ(walk().status, 0);
    EXPECT_EQ(log.text().find("Command"), std::string::npos) << log.text();
    EXPECT_EQ(log.text().find("Volume"), std::string::npos) << log.text();

    const std::size_t samples8 = size_of("quiet.ulaw");
    const std::size_t samples16 = size_of("quiet.sln16") / 2;
    // One second, plus what the MP3 decoder adds at the edges.
    EXPECT_GE(samples8, 8000u);
    EXPECT_LE(samples8, 8800u);
    EXPECT_EQ(size_of("quiet.alaw"), samples8);
    EXPECT_EQ(size_of("quiet.sln"), 2 * samples8);
    EXPECT_NEAR(double(samples16), 2.0 * samples8, 2.0);
    EXPECT_EQ(size_of("quiet.gsm"), 33 * ((samples8 + 159) / 160));
    EXPECT_EQ(size_of("quiet.g722"), (samples16 + 1) / 2);
}

TEST_F(RealTools, ClippingSquareWaveIsConvertedAtLowerVolume) {
    // A full-scale square wave, pushed past full scale, overshoots once decoded from MP3.
    make_audio("loud.mp3", "-V1 -r 44100 -c 1 -t mp3", "synth 1 square 300 gain +1");
    ::setenv("SOX_OPTS", "-V1", 1);  // would hide the warnings the back-off relies on
    ASSERT_EQ(walk().status, 0);
    ::unsetenv("SOX_OPTS");
    const std::string text = log.text();
    EXPECT_NE(text.find("Convert loud to ulaw\nVolume appears to be too high; trying 0.9...\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Command"), std::string::npos) << text;
    EXPECT_EQ(size_of("loud.alaw"), size_of("loud.ulaw"));
    EXPECT_GT(size_of("loud.g722"), 0u);
}

TEST_F(RealTools, LinearOutputsHoldTwoBytesPerSampleWhateverTheInput) {
    // WAVs saved under an .mp3 name: sox reads them for what they are.
    const char* shapes[] = {"-b 8 -e unsigned", "-b 16", "-b 24", "-b 32", "-b 32 -e float"};
    for (std::size_t i = 0; i < std::size(shapes); ++i) {
        make_audio("w" + std::to_string(i) + ".mp3",
                   std::string("-r 8000 -c 1 -t wav ") + shapes[i], "synth 0.5 sine 300");
    }
    ASSERT_EQ(walk().status, 0);
    EXPECT_EQ(log.text().find("Command"), std::string::npos) << log.text();
    for (std::size_t i = 0; i < std::size(shapes); ++i) {
        const std::string stem = "w" + std::to_string(i);
        EXPECT_EQ(size_of(stem + ".sln"), 2u * 4000u) << shapes[i];
        EXPECT_EQ(size_of(stem + ".sln16"), 2u * 8000u) << shapes[i];
    }
}

TEST_F(RealTools, ChildThatNeverEndsIsKilledAndTheRunGoesOn) {
    make_audio("a.mp3", "-r 8000 -c 1 -t mp3", "synth 0.2 sine 440 vol 0.3");
    make_audio("b.mp3", "-r 8000 -c 1 -t mp3", "synth 0.2 sine 440 vol 0.3");
    // A stand-in sox that hangs on a.mp3's gsm conversion and is sox otherwise.
    const std::string bin = dir / "bin";
    ::mkdir(bin.c_str(), 0755);
    const std::string real_sox = test::run_shell("command -v sox | tr -d '\\n'").output;
    test::write_file(bin + "/sox",
                     "#!/bin/sh\ncase \"$*\" in */a.8k*gsm*) exec sleep 3600;; esac\n"
                     "exec " +
                         real_sox + " \"$@\"\n");
    ::chmod((bin + "/sox").c_str(), 0755);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (bin + ":" + path).c_str(), 1);
    settings.child_time_limit = std::chrono::seconds(2);
    const auto start = std::chrono::steady_clock::now();
    const moh::WalkResult result = walk();
    ::setenv("PATH", path.c_str(), 1);

    EXPECT_EQ(result.status, 0);
    // find's order is the filesystem's.
    const int a_number = log.text().find("Convert a to") < log.text().find("Convert b to") ? 1 : 2;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_NE(log.text().find("Convert a to gsm\nCommand killed by signal 9: sox -R -t raw -e "
                              "signed-integer -b 32 -r 8000 -c 1 " +
                              settings.work_dir + "/" + std::to_string(a_number) +
                              "/a.8k -t gsm /dev/fd/4\n  converting " + lib +
                              "/a.mp3 to gsm\n  timed out after 2 s\n"),
              std::string::npos)
        << log.text();
    // What outlasted the limit once is left for the next run, not tried for every format.
    EXPECT_EQ(log.text().find("Convert a to sln\n"), std::string::npos) << log.text();
    EXPECT_FALSE(test::exists(lib + "/a.gsm"));
    EXPECT_GT(size_of("a.alaw"), 0u);
    EXPECT_GT(size_of("b.g722"), 0u);
}

}  // namespace
