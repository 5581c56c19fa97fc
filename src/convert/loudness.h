// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace moh {

// Headerless little-endian mono samples, as sox writes them with -t f32, -t s16, -t s24 or -t s32.
enum class SampleFormat { kFloat32, kSigned16, kSigned24, kSigned32 };

// Integrated loudness and sample peak of one mono signal by ITU-R BS.1770 (libebur128), fed in
// any number of pieces. The one channel counts once, as a listener hears a mono file.
class LoudnessMeter {
  public:
    // Throws std::bad_alloc when the library cannot set up a meter for `rate` Hz.
    explicit LoudnessMeter(unsigned rate);
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;
    ~LoudnessMeter();

    // Adds `count` samples in full scale -1..1.
    void add(const float* mono, std::size_t count);
    // Adds `count` 16-bit samples.
    void add(const int16_t* mono, std::size_t count);
    // Adds what `fd` holds up to its end, in fixed blocks; a trailing partial sample is ignored.
    // Returns 0 or the errno of the failed read.
    int add_from(int fd, SampleFormat format);

    // LUFS; nothing when the signal is too short (under 0.4 s) or too quiet to measure.
    std::optional<double> integrated() const;
    // The largest sample's magnitude, in full scale; 0 for silence.
    double peak() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// A source is turned down no further than the clipping back-off goes, and up no more than 12 dB,
// so that a quiet master's hiss is not raised to the level of music.
constexpr double kLevelFactorFloor = 0.1;
constexpr double kLevelFactorCeiling = 4.0;

// A source's peak is kept this far under full scale, so that no format clips once it is levelled.
constexpr double kLevelPeakCeiling = 0.99;

struct LevelFactor {
    double factor;
    // Why the factor misses the target: nullptr when it does not, "its peak", "the limit of 4"
    // or "the limit of 0.1".
    const char* short_of;
};

// The linear factor that brings a source measured at `lufs`, with `peak` as its largest sample,
// to `target` LUFS: within the floor and the ceiling, and no higher than keeps the peak under
// kLevelPeakCeiling. Factor 1 for a source that could not be measured.
LevelFactor level_factor(std::optional<double> lufs, double peak, double target);

}  // namespace moh
