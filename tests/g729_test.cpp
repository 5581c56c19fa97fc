// SPDX-License-Identifier: GPL-3.0-or-later
// The G.729 converter against the library's own encoder, and as moh-convert runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

extern "C" {
#include <bcg729/encoder.h>
}

#include "g729_file.h"
#include "support.h"

namespace {

using test::run_shell;
using test::TempDir;

const std::string kConverter = G729_CONVERT_BIN;

// A sweep from 100 Hz to 3.5 kHz with noise from a fixed seed: every frame differs.
std::vector<int16_t> sweep_with_noise(std::size_t count) {
    std::mt19937 random(729);
    std::normal_distribution<double> noise(0, 400);
    std::vector<int16_t> samples(count);
    double phase = 0;
    for (std::size_t i = 0; i < count; ++i) {
        phase += 2 * M_PI * (100 + 3400.0 * i / count) / 8000;
        samples[i] = static_cast<int16_t>(std::lround(9000 * std::sin(phase) + noise(random)));
    }
    return samples;
}

// The library's encoder with VAD off, one frame of 80 samples at a time.
std::string reference(const std::vector<int16_t>& samples) {
    EXPECT_EQ(samples.size() % 80, 0u);
    bcg729EncoderChannelContextStruct* encoder = initBcg729EncoderChannel(0);
    std::string out;
    for (std::size_t i = 0; i + 80 <= samples.size(); i += 80) {
        uint8_t frame[10];
        uint8_t length = 0;
        bcg729Encoder(encoder, &samples[i], frame, &length);
        out.append(reinterpret_cast<const char*>(frame), length);
    }
    closeBcg729EncoderChannel(encoder);
    return out;
}

std::string convert(const TempDir& dir, const std::string& input) {
    test::write_file(dir / "in.sln", input);
    const auto error = g729::convert_file(dir / "in.sln", dir / "out.g729");
    EXPECT_FALSE(error) << *error;
    return test::read_file(dir / "out.g729");
}

TEST(G729Encoding, MatchesTheLibraryEncoderAcrossReadBlocks) {
    TempDir dir;
    const auto samples = sweep_with_noise(80 * 1000);  // ten seconds, several read blocks
    EXPECT_EQ(convert(dir, test::little_endian(samples)), reference(samples));
}

TEST(G729Encoding, LastPartialFrameAndItsPairAreFilledWithSilence) {
    TempDir dir;
    auto samples = sweep_with_noise(80 * 30 + 37);
    const auto input = test::little_endian(samples);
    samples.resize(80 * 32, 0);
    EXPECT_EQ(convert(dir, input), reference(samples));
    // Over silence, a stray byte taken for part of a sample would change the last frame.
    const std::string silence(2 * (80 * 30 + 37), '\0');
    EXPECT_EQ(convert(dir, silence + '\xff'), convert(dir, silence))
        << "a trailing odd byte is not a sample";
}

// Asterisk reads 20 bytes, two frames, at a time: an odd last frame would never be heard.
TEST(G729Encoding, OutputIsWholePairsOfTenByteFramesRoundedUp) {
    struct Case {
        std::size_t input_bytes;
        std::size_t output_bytes;
    };
    const Case cases[] = {
        {0, 0},        {1, 0},        {2, 20},       {160, 20},       {161, 20},
        {162, 20},     {320, 20},     {322, 40},     {64000, 4000},   {64002, 4020},
        {64159, 4020}, {64160, 4020}, {64320, 4020}, {160000, 10000}, {160160, 10020},
    };
    for (const auto& c : cases) {
        TempDir dir;
        EXPECT_EQ(convert(dir, std::string(c.input_bytes, '\x11')).size(), c.output_bytes)
            << c.input_bytes << " input bytes";
    }
}

TEST(G729Encoding, FailuresNameTheFileAndKeepThePreviousOutput) {
    struct Case {
        const char* in;  // both relative to the test directory
        const char* out;
        const char* named;
        const char* reason;
    };
    const Case cases[] = {
        {"nothing.sln", "out.g729", "nothing.sln", "cannot open"},
        {"a_directory", "out.g729", "a_directory", "Is a directory"},
        {"in.sln", "missing/out.g729", "missing/out.g729", "No such file"},
        {"in.sln", "a_directory", "a_directory", "Is a directory"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        ::mkdir((dir / "a_directory").c_str(), 0755);
        test::write_file(dir / "in.sln", std::string(1000, '\1'));
        test::write_file(dir / "out.g729", "previous conversion");
        const auto before = test::list_dir(dir.path());

        const auto error = g729::convert_file(dir / c.in, dir / c.out);

        ASSERT_TRUE(error) << c.in << " " << c.out;
        EXPECT_NE(error->find(dir / c.named), std::string::npos) << *error;
        EXPECT_NE(error->find(c.reason), std::string::npos) << *error;
        EXPECT_EQ(test::read_file(dir / "out.g729"), "previous conversion") << *error;
        EXPECT_EQ(test::list_dir(dir.path()), before) << "a staged file was left: " << *error;
    }
}

TEST(G729Command, WrongArgumentCountPrintsUsageAndExits2) {
    for (const char* args : {"", " a", " a b c"}) {
        const auto outcome = run_shell(kConverter + args + " 2>&1");
        EXPECT_EQ(outcome.status, 2) << args;
        EXPECT_EQ(outcome.output, "usage: g729_convert IN.sln OUT.g729\n") << args;
    }
}

TEST(G729Command, ReadsAHandedDescriptorSilently) {
    TempDir dir;
    test::write_file(dir / "in.sln", std::string(1600, '\0'));
    const auto outcome = run_shell(kConverter + " /dev/fd/3 " + (dir / "out.g729") + " 3<" +
                                   (dir / "in.sln") + " 2>&1");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(test::read_file(dir / "out.g729").size(), 100u);
}

TEST(G729Command, FullDiskIsOneLineAndKeepsThePreviousOutput) {
    TempDir dir;
    test::write_file(dir / "in.sln", std::string(4 << 20, '\x40'));
    ::mkdir((dir / "small").c_str(), 0755);
    const std::string out = dir / "small/out.g729";
    // The filesystem exists only inside the private namespace, so everything is checked there.
    const auto outcome =
        run_shell("unshare --mount sh -c 'mount -t tmpfs -o size=64k tmpfs " + (dir / "small") +
                  " || exit 99; printf \"previous\" > " + out + "; " + kConverter + " " +
                  (dir / "in.sln") + " " + out + " 2>&1; echo \"status $?\"; cat " + out +
                  "; echo; ls -A " + (dir / "small") + "'");
    ASSERT_NE(outcome.status, 99) << outcome.output;
    EXPECT_EQ(outcome.output, "g729_convert: cannot write " + out +
                                  ": No space left on device\n"
                                  "status 1\n"
                                  "previous\n"
                                  "out.g729\n");
}

}  // namespace
