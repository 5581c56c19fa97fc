// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/loudness.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using moh::LoudnessMeter;
using moh::SampleFormat;

std::vector<float> sine(unsigned rate, double seconds, double amplitude) {
    std::vector<float> samples(static_cast<std::size_t>(rate * seconds));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * 997 * i / rate));
    }
    return samples;
}

// A full-scale 997 Hz sine in one channel reads -3.01 LUFS by BS.1770.
double sine_lufs(double amplitude) {
    return -3.01 + 20 * std::log10(amplitude);
}

TEST(Loudness, SineMeasuresItsLevel) {
    struct Case {
        unsigned rate;
        double amplitude;
    };
    for (const Case c : {Case{48000, 1.0}, Case{16000, 0.5}, Case{8000, 0.1}}) {
        LoudnessMeter meter(c.rate);
        const auto samples = sine(c.rate, 3, c.amplitude);
        meter.add(samples.data(), samples.size());
        const auto lufs = meter.integrated();
        ASSERT_TRUE(lufs) << c.rate << " Hz";
        EXPECT_NEAR(*lufs, sine_lufs(c.amplitude), 0.1) << c.rate << " Hz, " << c.amplitude;
    }
}

TEST(Loudness, SilenceAndTooShortHaveNoValue) {
    for (const auto& samples : {sine(8000, 5, 0.0), sine(8000, 0.2, 1.0)}) {
        LoudnessMeter meter(8000);
        meter.add(samples.data(), samples.size());
        EXPECT_FALSE(meter.integrated()) << samples.size() << " samples";
    }
}

// Measures BYTES through a pipe whose first read ends inside a sample; their peak in `peak`.
std::optional<double> measure_through_pipe(const std::string& bytes, SampleFormat format,
                                           double& peak) {
    int ends[2];
    if (::pipe(ends) != 0) return std::nullopt;
    std::thread writer([&] {
        EXPECT_EQ(::write(ends[1], bytes.data(), 3), 3);
        int waiting = 0;
        while (::ioctl(ends[1], FIONREAD, &waiting) == 0 && waiting > 0) std::this_thread::yield();
        for (std::size_t at = 3; at < bytes.size();) {
            const ssize_t n = ::write(ends[1], bytes.data() + at, bytes.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        ::close(ends[1]);
    });
    LoudnessMeter meter(16000);
    EXPECT_EQ(meter.add_from(ends[0], format), 0);
    writer.join();
    ::close(ends[0]);
    peak = meter.peak();
    return meter.integrated();
}

TEST(Loudness, DescriptorOfEitherFormatMeasuresTheSame) {
    auto samples = sine(16000, 3, 0.25);
    samples[8000] = -0.75f;  // a click: the peak, and next to nothing of the loudness
    for (const auto format : {SampleFormat::kFloat32, SampleFormat::kSigned16,
                              SampleFormat::kSigned24, SampleFormat::kSigned32}) {
        std::string bytes;
        for (const float s : samples) {
            uint32_t word;
            int width = 2;
            if (format == SampleFormat::kFloat32) {
                std::memcpy(&word, &s, 4);
                width = 4;
            } else if (format == SampleFormat::kSigned32) {
                word = static_cast<uint32_t>(static_cast<int32_t>(std::lround(s * 2147483647.0)));
                width = 4;
            } else if (format == SampleFormat::kSigned24) {
                word = static_cast<uint32_t>(static_cast<int32_t>(std::lround(s * 8388607)));
                width = 3;
            } else {
                word = static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * 32767)));
            }
            for (int b = 0; b < width; ++b) {
                bytes += static_cast<char>(word >> (8 * b) & 0xff);
            }
        }
        double peak = 0;
        const auto lufs = measure_through_pipe(bytes, format, peak);
        ASSERT_TRUE(lufs);
        EXPECT_NEAR(*lufs, sine_lufs(0.25), 0.1);
        EXPECT_NEAR(peak, 0.75, 1e-4) << static_cast<int>(format);
    }
}

TEST(Loudness, UnreadableDescriptorIsItsErrno) {
    LoudnessMeter meter(8000);
    EXPECT_EQ(meter.add_from(-1, SampleFormat::kSigned16), EBADF);
}

TEST(LevelFactor, BringsTheSourceToTheTargetWithinTheClampsAndUnderItsPeak) {
    struct Case {
        std::optional<double> lufs;
        double peak;
        double target;
        double factor;
        const char* short_of;
    };
    const Case cases[] = {
        {-20, 0.5, -20, 1.0, nullptr},
        {-8, 1.2, -20, std::pow(10, -12.0 / 20), nullptr},
        {-30, 0.3, -20, std::pow(10, 10.0 / 20), nullptr},
        {-30, 0.3, -24, std::pow(10, 6.0 / 20), nullptr},
        {10, 1.5, -20, 0.1, "the limit of 0.1"},
        {-45, 0.1, -20, 4.0, "the limit of 4"},
        {-43.3, 1.0, -20, 0.99, "its peak"},  // a quiet track with one full-scale click
        {-45, 0.5, -20, 1.98, "its peak"},    // the peak binds before the ceiling
        {-30, 0.33, -20, 3.0, "its peak"},
        {-8, 2.0, -20, std::pow(10, -12.0 / 20), nullptr},  // over full scale, turned down under it
        {-20, 2.0, -20, 0.495, "its peak"},
        {std::nullopt, 1.5, -20, 1.0, nullptr},
    };
    for (const auto& c : cases) {
        const moh::LevelFactor got = moh::level_factor(c.lufs, c.peak, c.target);
        const std::string row =
            (c.lufs ? std::to_string(*c.lufs) : "unmeasured") + " peak " + std::to_string(c.peak);
        EXPECT_NEAR(got.factor, c.factor, 1e-9) << row;
        EXPECT_STREQ(got.short_of ? got.short_of : "", c.short_of ? c.short_of : "") << row;
    }
}

}  // namespace
