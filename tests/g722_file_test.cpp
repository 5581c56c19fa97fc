// SPDX-License-Identifier: GPL-2.0-or-later
#include "g722_file.h"

#include <gtest/gtest.h>
#include <spandsp.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "support.h"

namespace {

using test::TempDir;

std::vector<int16_t> tone(std::size_t count, double hz, double amplitude) {
    std::vector<int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] =
            static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * i / 16000)));
    }
    return samples;
}

// The library's encoder over the whole input in one call: what block-wise streaming must equal.
std::string encode_at_once(const std::vector<int16_t>& samples) {
    g722_encode_state_t* state = g722_encode_init(nullptr, 64000, 0);
    std::string out(samples.size() / 2, '\0');
    const int n = g722_encode(state, reinterpret_cast<uint8_t*>(out.data()), samples.data(),
                              static_cast<int>(samples.size()));
    g722_encode_free(state);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::vector<int16_t> decode(const std::string& g722) {
    g722_decode_state_t* state = g722_decode_init(nullptr, 64000, 0);
    std::vector<int16_t> out(g722.size() * 2);
    const int n = g722_decode(state, out.data(), reinterpret_cast<const uint8_t*>(g722.data()),
                              static_cast<int>(g722.size()));
    g722_decode_free(state);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string convert(const TempDir& dir, const std::string& input) {
    test::write_file(dir / "in.sln16", input);
    const auto error = g722::convert_file(dir / "in.sln16", dir / "out.g722");
    EXPECT_FALSE(error) << *error;
    return test::read_file(dir / "out.g722");
}

TEST(G722Encoding, ToneSurvivesRoundTripWithin30dB) {
    TempDir dir;
    const auto input = tone(16000, 1000, 8000);
    const auto decoded = decode(convert(dir, test::little_endian(input)));
    ASSERT_EQ(decoded.size(), input.size());

    // The codec's filters delay the signal by a few dozen samples; take the best alignment.
    double best_snr = -1e9;
    for (std::size_t delay = 0; delay <= 64; ++delay) {
        double signal = 0, noise = 0;
        for (std::size_t i = 400; i + delay < input.size(); ++i) {
            const double error = double(input[i]) - decoded[i + delay];
            signal += double(input[i]) * input[i];
            noise += error * error;
        }
        best_snr = std::max(best_snr, 10 * std::log10(signal / std::max(noise, 1.0)));
    }
    EXPECT_GE(best_snr, 30.0);
}

TEST(G722Encoding, StreamingAcrossReadBlocksEqualsOneEncode) {
    TempDir dir;
    // Long enough for several read blocks, with content that changes the codec's state.
    auto input = tone(200000, 440, 12000);
    const auto high = tone(200000, 5300, 6000);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<int16_t>(input[i] + high[i]);
    EXPECT_EQ(convert(dir, test::little_endian(input)), encode_at_once(input));
}

TEST(G722Encoding, OutputHasOneBytePerSamplePair) {
    struct Case {
        std::size_t input_bytes;
        std::size_t output_bytes;
    };
    const Case cases[] = {
        {0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 2}, {131072, 32768}, {131074, 32769},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string input(c.input_bytes, '\x11');
        EXPECT_EQ(convert(dir, input).size(), c.output_bytes) << c.input_bytes << " input bytes";
    }
}

TEST(G722Encoding, TrailingOddByteIsIgnored) {
    TempDir dir;
    const auto even = test::little_endian(tone(1000, 700, 9000));
    const auto plain = convert(dir, even);
    EXPECT_EQ(convert(dir, even + '\x7f'), plain);
}

TEST(G722Encoding, LastOddSampleIsPairedWithItself) {
    TempDir dir;
    auto samples = tone(999, 700, 9000);
    const auto odd = convert(dir, test::little_endian(samples));
    samples.push_back(samples.back());
    EXPECT_EQ(odd, encode_at_once(samples));
}

enum class Named { kInput, kOutput };

struct Failure {
    const char* name;
    const char* in;  // both relative to the test directory
    const char* out;
    Named named;
    const char* reason;
};

void PrintTo(const Failure& f, std::ostream* os) {
    *os << f.name;
}

class G722Failures : public ::testing::TestWithParam<Failure> {};

TEST_P(G722Failures, NameTheFileAndKeepThePreviousOutput) {
    TempDir dir;
    const auto& f = GetParam();
    ::mkdir((dir / "a_directory").c_str(), 0755);
    test::write_file(dir / "in.sln16", std::string(100, '\1'));
    test::write_file(dir / "out.g722", "previous conversion");
    const auto before = test::list_dir(dir.path());

    const auto error = g722::convert_file(dir / f.in, dir / f.out);

    ASSERT_TRUE(error);
    EXPECT_NE(error->find(dir / (f.named == Named::kInput ? f.in : f.out)), std::string::npos)
        << *error;
    EXPECT_NE(error->find(f.reason), std::string::npos) << *error;
    EXPECT_EQ(error->find('\n'), std::string::npos);
    EXPECT_EQ(test::read_file(dir / "out.g722"), "previous conversion");
    EXPECT_EQ(test::list_dir(dir.path()), before) << "a staged file was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    BadPaths, G722Failures,
    ::testing::Values(
        Failure{"MissingInput", "nothing.sln16", "out.g722", Named::kInput, "No such file"},
        Failure{"InputIsDirectory", "a_directory", "out.g722", Named::kInput, "Is a directory"},
        Failure{"OutputDirectoryMissing", "in.sln16", "missing/out.g722", Named::kOutput,
                "No such file"},
        Failure{"OutputIsDirectory", "in.sln16", "a_directory", Named::kOutput, "Is a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
