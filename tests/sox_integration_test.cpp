// The walk and the chain with the real shell, real sox and our real converter, on MP3s made here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "fakes.h"
#include "walk.h"

namespace {

using test::TempDir;

class RealTools : public ::testing::Test {
  protected:
    TempDir dir;
    moh::Settings settings{dir / "mohmp3", dir / "moh-xx", dir / "xxx", ASTERISK_CONVERT_BIN};
    test::CapturedLog log;
    moh::ShellRunner runner;
    std::string lib = settings.library_dir;

    void SetUp() override { ::mkdir(lib.c_str(), 0755); }
    void make_mp3(const std::string& name, const std::string& synth, const char* shape = "") {
        const auto made = test::run_shell("sox -n " + std::string(shape) + " " + lib + "/" + name +
                                          " synth " + synth + " 2>&1");
        ASSERT_EQ(made.status, 0) << made.output;
    }
    int walk() { return moh::run_walk({settings, log.log, runner}); }
    std::size_t size_of(const std::string& name) const {
        struct stat st {};
        return ::stat((lib + "/" + name).c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size)
                                                            : 0;
    }
};

TEST_F(RealTools, QuietMp3BecomesSixOutputsOfMatchingLengths) {
    make_mp3("quiet.mp3", "1 sine 440 vol 0.3", "-r 44100 -c 2");
    ASSERT_EQ(walk(), 0);
    const std::string text = log.text();
    EXPECT_EQ(text.find("Command"), std::string::npos) << text;
    EXPECT_EQ(text.find("Volume"), std::string::npos) << text;

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
    EXPECT_FALSE(test::exists(settings.capture_path));
}

TEST_F(RealTools, ClippingSquareWaveIsConvertedAtLowerVolume) {
    // A full-scale square wave, pushed past full scale, overshoots once decoded from MP3.
    make_mp3("loud.mp3", "1 square 300 gain +1", "-r 44100 -c 1");
    ASSERT_EQ(walk(), 0);
    const std::string text = log.text();
    EXPECT_NE(text.find("Convert loud to ulaw\nVolume appears to be too high; trying 0.9...\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Command"), std::string::npos) << text;
    EXPECT_EQ(size_of("loud.alaw"), size_of("loud.ulaw"));
    EXPECT_GT(size_of("loud.g722"), 0u);
    EXPECT_FALSE(test::exists(settings.capture_path));
}

TEST_F(RealTools, MissingSoxIsReportedNotPassedOverInSilence) {
    make_mp3("song.mp3", "0.2 sine 440 vol 0.3", "-r 8000 -c 1");
    // A search path with find on it and nothing else.
    ::mkdir((dir / "bin").c_str(), 0755);
    ASSERT_EQ(test::run_shell("ln -s \"$(command -v find)\" " + (dir / "bin/find")).status, 0);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (dir / "bin").c_str(), 1);
    const int status = walk();
    ::setenv("PATH", path.c_str(), 1);

    EXPECT_EQ(status, 0);
    const std::string text = log.text();
    EXPECT_NE(text.find("Convert song to ulaw\nCommand failed with exit status 127: sox " + lib +
                        "/song.mp3 -c 1 -r 8000 -t ul " + lib + "/song.ulaw > " +
                        settings.capture_path + " 2>&1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Command failed with exit status 1: " + settings.converter_path + " " +
                        lib + "/song.sln16 " + lib + "/song.g722\n"),
              std::string::npos)
        << text;
}

}  // namespace
