// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/loudness.h"

#include <ebur128.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace moh {

struct LoudnessMeter::State {
    ebur128_state* meter;
    ~State() { ebur128_destroy(&meter); }
};

LoudnessMeter::LoudnessMeter(unsigned rate) {
    ebur128_state* meter = ebur128_init(1, rate, EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK);
    if (meter == nullptr) throw std::bad_alloc();
    state_.reset(new State{meter});
}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::add(const float* mono, std::size_t count) {
    if (ebur128_add_frames_float(state_->meter, mono, count) != EBUR128_SUCCESS) {
        throw std::bad_alloc();
    }
}

void LoudnessMeter::add(const int16_t* mono, std::size_t count) {
    if (ebur128_add_frames_short(state_->meter, mono, count) != EBUR128_SUCCESS) {
        throw std::bad_alloc();
    }
}

int LoudnessMeter::add_from(int fd, SampleFormat format) {
    const std::size_t width = format == SampleFormat::kSigned24   ? 3
                              : format == SampleFormat::kSigned16 ? 2
                                                                  : 4;
    constexpr std::size_t kBlockBytes = 64 * 1024;
    // A pipe may end a read inside a sample; those bytes carry over to the next read.
    std::array<unsigned char, kBlockBytes + 4> bytes;
    std::vector<float> floats(format != SampleFormat::kSigned16 ? kBlockBytes / 3 + 1 : 0);
    std::vector<double> doubles(format == SampleFormat::kSigned32 ? kBlockBytes / 4 : 0);
    std::vector<int16_t> shorts(format == SampleFormat::kSigned16 ? kBlockBytes / 2 : 0);
    std::size_t carried = 0;
    for (;;) {
        const ssize_t n = ::read(fd, bytes.data() + carried, kBlockBytes);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        const std::size_t available = carried + static_cast<std::size_t>(n);
        const std::size_t count = available / width;
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned char* b = &bytes[i * width];
            if (format == SampleFormat::kSigned32) {
                // Beyond a float's 24 bits: the peak of audio kept at 32 is told as exactly.
                doubles[i] = static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 |
                                                  static_cast<uint32_t>(b[3]) << 24) /
                             2147483648.0;
            } else if (format == SampleFormat::kFloat32) {
                floats[i] = std::bit_cast<float>(static_cast<uint32_t>(
                    b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24));
            } else if (format == SampleFormat::kSigned24) {
                // The top byte's sign, carried into 32 bits by the shift back down.
                const auto value =
                    static_cast<int32_t>(static_cast<uint32_t>(
                        b[0] << 8 | b[1] << 16 | static_cast<uint32_t>(b[2]) << 24)) >>
                    8;
                floats[i] = static_cast<float>(value) / 8388608.0f;
            } else {
                shorts[i] = static_cast<int16_t>(static_cast<uint16_t>(b[0] | b[1] << 8));
            }
        }
        if (format == SampleFormat::kSigned32) {
            if (ebur128_add_frames_double(state_->meter, doubles.data(), count) != EBUR128_SUCCESS)
                throw std::bad_alloc();
        } else if (format != SampleFormat::kSigned16) {
            add(floats.data(), count);
        } else {
            add(shorts.data(), count);
        }
        carried = available - count * width;
        std::memmove(bytes.data(), bytes.data() + count * width, carried);
    }
}

std::optional<double> LoudnessMeter::integrated() const {
    double lufs = -HUGE_VAL;
    // Silence and anything shorter than one gating block come back as minus infinity.
    if (ebur128_loudness_global(state_->meter, &lufs) != EBUR128_SUCCESS || !std::isfinite(lufs)) {
        return std::nullopt;
    }
    return lufs;
}

double LoudnessMeter::peak() const {
    double peak = 0;
    if (ebur128_sample_peak(state_->meter, 0, &peak) != EBUR128_SUCCESS) return 0;
    return peak;
}

LevelFactor level_factor(std::optional<double> lufs, double peak, double target) {
    if (!lufs) return {1.0, nullptr};
    const double wanted = std::pow(10.0, (target - *lufs) / 20);
    double factor = std::clamp(wanted, kLevelFactorFloor, kLevelFactorCeiling);
    const char* short_of = factor < wanted   ? "the limit of 4"
                           : factor > wanted ? "the limit of 0.1"
                                             : nullptr;
    // Clipping would cost a decoding for every step the back-off takes.
    if (peak > 0 && factor * peak > kLevelPeakCeiling) {
        factor = kLevelPeakCeiling / peak;
        if (factor < wanted) short_of = "its peak";
    }
    return {factor, short_of};
}

}  // namespace moh
