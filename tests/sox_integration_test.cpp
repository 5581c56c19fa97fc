// SPDX-License-Identifier: GPL-2.0-or-later
// The walk and the chain with real processes: real find and sox, our real converter, on audio
// made here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spandsp.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/chain.h"
#include "convert/loudness.h"
#include "fakes.h"
#include "library/walk.h"

namespace {

using test::TempDir;

class RealTools : public ::testing::Test {
  protected:
    TempDir dir;
    moh::Settings settings = [this] {
        moh::Settings s = test::private_settings(dir);
        s.converter_path = root_copy(ASTERISK_CONVERT_BIN);
        s.g729_converter_path = root_copy(G729_CONVERT_BIN);
        return s;
    }();
    moh::RunOptions options;
    test::CapturedLog log;
    std::string lib = settings.library_dir;

    void SetUp() override { ::mkdir(lib.c_str(), 0755); }
    // Root runs no converter that another account could change, and the build may be anyone's.
    std::string root_copy(const std::filesystem::path& program) {
        const std::string copy = dir / program.filename();
        std::filesystem::copy_file(program, copy);
        std::filesystem::permissions(copy, std::filesystem::perms(0755));
        return copy;
    }
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

TEST_F(RealTools, QuietMp3BecomesEveryOutputOfMatchingLengths) {
    make_audio("quiet.mp3", "-r 44100 -c 2 -t mp3", "synth 1 sine 440 vol 0.3");
    options.extra_formats = {"sln48", "g729"};
    ASSERT_EQ(walk().status, 0);
    EXPECT_NE(log.text().find("Convert quiet to g722\nConvert quiet to sln48\nConvert quiet to "
                              "g729\nFound"),
              std::string::npos)
        << log.text();
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
    EXPECT_NEAR(double(size_of("quiet.sln48")), 6.0 * size_of("quiet.sln"), 12.0);
    EXPECT_EQ(size_of("quiet.g729"), 20 * ((samples8 + 159) / 160));
}

// Masters from very loud to very quiet come out at the target, measured as the wideband output
// plays; what cannot be measured keeps its level.
TEST_F(RealTools, LevellingBringsEachSourceToTheTarget) {
    // A 997 Hz sine of amplitude A reads 20 log10(A) - 3.01 LUFS.
    make_audio("loud.mp3", "-r 44100 -c 2 -t mp3", "synth 6 sine 997 vol 0.563");
    make_audio("soft.mp3", "-r 44100 -c 2 -t mp3", "synth 6 sine 997 vol 0.0447");
    make_audio("silent.mp3", "-r 44100 -c 2 -t mp3", "trim 0 2");
    // At -43.3 LUFS but for one full-scale click: its peak holds it short of the target.
    std::string click;
    for (int i = 0; i < 6 * 44100; ++i) {
        const float sample = i == 3 * 44100 ? 1.0f : 0.0097f * std::sin(2 * M_PI * 997 * i / 44100);
        click.append(reinterpret_cast<const char*>(&sample), sizeof sample);
    }
    test::write_file(dir / "click.f32", click);
    ASSERT_EQ(test::run_shell("sox -V1 -t f32 -r 44100 -c 1 " + dir / "click.f32" + " '" + lib +
                              "/click.mp3' 2>&1")
                  .status,
              0);
    options.level = -20;
    ASSERT_EQ(walk().status, 0) << log.text();
    const std::string text = log.text();
    EXPECT_EQ(text.find("Volume appears"), std::string::npos) << text;
    EXPECT_NE(text.find("Level silent: too short or too silent to measure, factor 1\n"),
              std::string::npos)
        << text;
    const auto click_level = text.find("Level click: -43.");
    EXPECT_NE(text.find(" (short of the target: its peak)\nConvert click to ulaw\n", click_level),
              std::string::npos)
        << text;
    for (const char* stem : {"loud", "soft"}) {
        EXPECT_NE(text.find(std::string("Level ") + stem + ": "), std::string::npos) << text;
        moh::LoudnessMeter meter(16000);
        const moh::Fd sln16(::open((lib + "/" + stem + ".sln16").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(meter.add_from(sln16.get(), moh::SampleFormat::kSigned16), 0);
        ASSERT_TRUE(meter.integrated());
        EXPECT_NEAR(*meter.integrated(), -20.0, 1.0) << stem;
    }
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

// Outputs played one after another (A then B, and A as a class loops) by one continuous decoder,
// against each decoded alone from reset: a G.722 decoder carries its state across the join.
TEST_F(RealTools, SeamlessOutputsJoinCleanly) {
    make_audio("a.mp3", "-r 44100 -c 2 -t mp3", "synth 1.5 sine 200 sine 300 vol 0.5");
    make_audio("b.mp3", "-r 44100 -c 2 -t mp3", "synth 1.5 sine 250 sine 150 vol 0.5");
    options.seamless = true;
    ASSERT_EQ(walk().status, 0) << log.text();
    EXPECT_NEAR(double(size_of("a.sln16")), 4.0 * size_of("a.ulaw"), 2.0);
    const auto decode = [](std::string_view format, const std::string& bytes) {
        std::vector<int16_t> pcm(2 * bytes.size());
        const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
        g722_decode_state_t* g722 = g722_decode_init(nullptr, 64000, 0);
        if (format == "g722")
            pcm.resize(size_t(g722_decode(g722, pcm.data(), in, int(bytes.size()))));
        if (format == "ulaw")
            pcm.resize(std::transform(in, in + bytes.size(), pcm.begin(), ulaw_to_linear) -
                       pcm.begin());
        g722_decode_free(g722);
        return std::vector<double>(pcm.begin(), pcm.end());
    };
    // Blocks of 20 ms.
    for (const auto& [format, block] : {std::pair{"g722", 320u}, std::pair{"ulaw", 160u}}) {
        for (const auto& [first, second] : {std::pair{"a", "b"}, std::pair{"a", "a"}}) {
            const std::string one = test::read_file(lib + "/" + first + "." + format);
            const std::string two = test::read_file(lib + "/" + second + "." + format);
            std::vector<double> alone = decode(format, one);
            const std::vector<double> rest = decode(format, two),
                                      joined = decode(format, one + two);
            const std::size_t join = alone.size();
            alone.insert(alone.end(), rest.begin(), rest.end());
            ASSERT_EQ(joined.size(), alone.size());
            std::vector<double> levels;
            double worst = 0, music_step = 0;
            for (std::size_t at = 0; at + block <= alone.size(); at += block) {
                double level = 0, difference = 0;
                for (std::size_t i = at; i < at + block; ++i) {
                    level += alone[i] * alone[i];
                    difference += (joined[i] - alone[i]) * (joined[i] - alone[i]);
                    if (i > 0 && i != join)
                        music_step = std::max(music_step, std::abs(alone[i] - alone[i - 1]));
                }
                levels.push_back(level);
                worst = std::max(worst, difference);
            }
            std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
            const std::string pair = format + std::string(" ") + first + " then " + second;
            EXPECT_LT(10 * std::log10(worst / levels[levels.size() / 2] + 1e-12), -25) << pair;
            // mu-law keeps no state: only the step where the files meet can be heard.
            EXPECT_LE(std::abs(alone[join] - alone[join - 1]), music_step) << pair;
        }
    }
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

// FLAC and Ogg Vorbis uploads, in any case, go the MP3s' way; what sox cannot read is named.
TEST_F(RealTools, OtherAudioIsConvertedWhereSoxReadsItAndNamedWhereNot) {
    const struct {
        const char* name;
        const char* type;  // as sox makes it; nullptr: named, never converted
        const char* stem;  // of its outputs; nullptr: none
    } cases[] = {
        {"a.flac", "flac", "a"},     {"Hold Music.OGG", "vorbis", "Hold_Music"},
        {"c.oga", "vorbis", "c"},    {"x.mp3", "mp3", "x"},
        {"x.flac", "flac", nullptr},  // x.mp3 converts to the same names
        {"d.m4a", nullptr, nullptr}, {"e.WMA", nullptr, nullptr},
    };
    std::vector<std::string> named;
    for (const auto& c : cases) {
        if (c.type != nullptr) {
            make_audio(c.name, std::string("-r 44100 -c 2 -t ") + c.type, "synth 1 sine 440");
        } else {
            test::write_file(lib + "/" + c.name, "....ftypM4A ");
            const std::string extension = std::strrchr(c.name, '.');
            named.push_back("Not converting " + lib + "/" + c.name + " -- sox cannot read " +
                            extension + " here; convert it to MP3, FLAC or WAV\n");
        }
    }
    EXPECT_EQ(walk().status, 1);
    const std::string text = log.text();
    named.push_back("Not converting " + lib +
                    "/x.flac -- x.mp3 beside it is converted to the same names\n");
    for (const std::string& line : named) EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_NE(text.find("Found and converted 1 mp3 files\nConverted 3 files Asterisk could not "
                        "play\nCHanged name of 1 files\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Command"), std::string::npos) << text;
    for (const auto& c : cases) {
        if (c.stem == nullptr) continue;
        EXPECT_NEAR(double(size_of(std::string(c.stem) + ".ulaw")), 8000.0, 400.0) << c.name;
        EXPECT_GT(size_of(std::string(c.stem) + ".g722"), 0u) << c.name;
    }
    options.update = true;
    EXPECT_EQ(walk().status, 1);
    EXPECT_NE(log.text().find("4 sources up to date\n"), std::string::npos) << log.text();
}

// Under the 256 bytes by which sox tells a piped source's type.
TEST_F(RealTools, TinySourcesAreConvertedAsSoxConvertsTheFile) {
    const std::pair<const char*, const char*> cases[] = {
        {"tiny8k.mp3", "-r 8000 -c 1 -C 8 -t mp3"},     // 1,152 samples
        {"tiny16k.wav", "-r 16000 -c 1 -b 16 -t wav"},  // 100
    };
    for (const auto& [name, format] : cases) {
        make_audio(name, format, "synth 0.00625 sine 440");
        ASSERT_LT(size_of(name), 256u);
    }
    walk();  // the WAV's not playing as it is is a problem of the run
    EXPECT_EQ(log.text().find("Command"), std::string::npos) << log.text();
    for (const auto& [name, format] : cases) {
        const std::string stem = std::string(name).substr(0, std::strlen(name) - 4);
        const auto direct =
            test::run_shell("sox '" + lib + "/" + name + "' -r 16000 -t s16 - | wc -c");
        EXPECT_GT(size_of(stem + ".ulaw"), 0u) << name;
        EXPECT_EQ(std::to_string(size_of(stem + ".sln16")) + "\n", direct.output) << name;
    }
}

// A conversion as sox alone makes it, one run per format, at the factors of the back-off: what
// the chain must match. Returns its log; leaves the outputs in `dir` as STEM.FORMAT.
std::string convert_directly(const std::string& mp3, const std::string& dir,
                             const std::string& stem) {
    const std::pair<const char*, const char*> formats[] = {
        {"ulaw", "-r 8000 -t ul"},
        {"alaw", "-r 8000 -t al"},
        {"gsm", "-r 8000 -t gsm"},
        {"sln", "-r 8000 -t raw -e signed-integer -b 16"},
        {"sln16", "-r 16000 -t raw -e signed-integer -b 16"},
    };
    std::string log;
    double volume = 1.0;
    bool first = true;
    for (const auto& [format, options] : formats) {
        log += "Convert " + stem + " to " + format + "\n";
        for (;;) {
            const std::string factor = first ? "" : moh::format_text("-v %g ", volume);
            first = false;
            const auto run = test::run_shell("sox -R " + factor + "'" + mp3 + "' -c 1 " + options +
                                             " '" + dir + "/" + stem + "." + format + "' 2>&1");
            if (run.output.find("decrease") == std::string::npos) break;
            if (volume - moh::kVolumeStep <= moh::kVolumeFloor) {
                log += "Still clipping at volume 0.1; keeping this conversion\n";
                break;
            }
            volume -= moh::kVolumeStep;
            log += moh::format_text("Volume appears to be too high; trying %g...\n", volume);
        }
    }
    test::run_shell(std::string(ASTERISK_CONVERT_BIN) + " " + dir + "/" + stem + ".sln16 " + dir +
                    "/" + stem + ".g722");
    return log + "Convert " + stem + " to g722\n";
}

// An output as 16-bit samples.
std::vector<double> samples_of(const std::string& path, const std::string& format) {
    std::string bytes;
    if (format == "g722") {
        const std::string g722 = test::read_file(path);
        std::vector<int16_t> decoded(2 * g722.size());
        g722_decode_state_t* state = g722_decode_init(nullptr, 64000, 0);
        decoded.resize(static_cast<std::size_t>(
            g722_decode(state, decoded.data(), reinterpret_cast<const uint8_t*>(g722.data()),
                        static_cast<int>(g722.size()))));
        g722_decode_free(state);
        return {decoded.begin(), decoded.end()};
    }
    if (format == "sln" || format == "sln16") {
        bytes = test::read_file(path);
    } else {
        const std::string type = format == "ulaw" ? "ul" : format == "alaw" ? "al" : "gsm";
        bytes = test::run_shell("sox -t " + type + " -r 8000 -c 1 '" + path + "' -t s16 -").output;
    }
    std::vector<double> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        int16_t sample;
        std::memcpy(&sample, bytes.data() + 2 * i, 2);
        samples[i] = sample;
    }
    return samples;
}

// The correlation of two signals, at the shift of a few samples that aligns them best.
double aligned_correlation(const std::vector<double>& a, const std::vector<double>& b) {
    double best = -1;
    for (int shift = -8; shift <= 8; ++shift) {
        double ab = 0, aa = 0, bb = 0, sa = 0, sb = 0;
        std::size_t n = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const long j = static_cast<long>(i) + shift;
            if (j < 0 || j >= static_cast<long>(b.size())) continue;
            sa += a[i];
            sb += b[j];
            ab += a[i] * b[j];
            aa += a[i] * a[i];
            bb += b[j] * b[j];
            ++n;
        }
        const double covariance = ab - sa * sb / n;
        best = std::max(best, covariance / std::sqrt((aa - sa * sa / n) * (bb - sb * sb / n)));
    }
    return best;
}

// 44.1 kHz MP3s of two square waves summed: a fundamental of 1.4 kHz overshoots full scale once
// only the fundamental is left (at 8 kHz), 5 kHz does once it is filtered to 16 kHz and vanishes
// at 8; each at a level that clips at one factor and not at the next.
TEST_F(RealTools, DecodedOnceGivesTheLogAndTheOutputsOfADirectConversionEveryTime) {
    const struct {
        const char* stem;
        double at_1400, at_5000;
        const char* clipping;  // where the direct conversion's log backs off
    } cases[] = {
        {"low", 0.74, 0, "8"},
        {"high", 0, 0.7, "16"},
        {"both", 0.72, 0.2, "8 16"},
    };
    const std::string direct = dir / "direct";
    ::mkdir(direct.c_str(), 0755);
    make_audio("stereo.mp3", "-r 44100 -c 2 -t mp3",
               "synth 3 pinknoise synth 3 sine mix 300-3000 vol 0.5");
    std::map<std::string, std::string> expected{
        {"stereo", convert_directly(lib + "/stereo.mp3", direct, "stereo")}};
    for (const auto& c : cases) {
        std::string waves;
        for (int i = 0; i < 3 * 44100; ++i) {
            const auto square = [i](double hz) {
                return std::fmod(i * hz / 44100, 1) < 0.5 ? 1 : -1;
            };
            const float sample =
                static_cast<float>(c.at_1400 * square(1400) + c.at_5000 * square(5000));
            waves.append(reinterpret_cast<const char*>(&sample), sizeof sample);
        }
        test::write_file(dir / "waves.f32", waves);
        const std::string mp3 = lib + "/" + c.stem + ".mp3";
        ASSERT_EQ(test::run_shell("sox -V1 -t f32 -r 44100 -c 1 " + dir / "waves.f32" + " '" + mp3 +
                                  "' 2>&1")
                      .status,
                  0);
        expected[c.stem] = convert_directly(mp3, direct, c.stem);
        const std::string& log = expected[c.stem];
        const auto sln16 = log.find("to sln16");
        std::string clipping;
        if (log.rfind("trying", sln16) != std::string::npos) clipping += "8";
        if (log.find("trying", sln16) != std::string::npos)
            clipping += clipping.empty() ? "16" : " 16";
        EXPECT_EQ(clipping, c.clipping) << c.stem << " no longer clips as it was made to:\n" << log;
    }

    ASSERT_EQ(walk().status, 0);
    std::map<std::string, std::string> first_run;
    for (const auto& [stem, direct_log] : expected) {
        const std::string text = log.text();
        const auto from = text.find("Convert " + stem + " to ulaw");
        const auto to = text.find("Convert " + stem + " to g722\n", from);
        ASSERT_NE(to, std::string::npos) << text;
        EXPECT_EQ(text.substr(from, to - from) + "Convert " + stem + " to g722\n", direct_log);
        for (const auto format : moh::kOutputFormats) {
            const std::string name = stem + "." + std::string(format);
            const auto ours = samples_of(lib + "/" + name, std::string(format));
            const auto theirs = samples_of(direct + "/" + name, std::string(format));
            EXPECT_EQ(ours.size(), theirs.size()) << name;
            EXPECT_GE(aligned_correlation(ours, theirs), 0.9995) << name;
            first_run[name] = test::read_file(lib + "/" + name);
        }
    }
    ASSERT_EQ(walk().status, 0);
    for (const auto& [name, bytes] : first_run) {
        EXPECT_TRUE(test::read_file(lib + "/" + name) == bytes)
            << name << " differs from run to run";
    }
}

TEST_F(RealTools, ChildThatNeverEndsIsKilledAndTheRunGoesOn) {
    make_audio("a.mp3", "-r 8000 -c 1 -t mp3", "synth 0.2 sine 440 vol 0.3");
    make_audio("b.mp3", "-r 8000 -c 1 -t mp3", "synth 0.2 sine 440 vol 0.3");
    make_audio("c.mp3", "-r 44100 -c 2 -t mp3", "synth 2 sine 440 vol 0.3");
    make_audio("d.mp3", "-r 44100 -c 2 -t mp3", "synth 2 sine 440 vol 0.3");
    // A stand-in sox that hangs on a.mp3's gsm conversion, and on c.mp3's resampling to 16 kHz
    // without reading what it is fed, so that the decoding waits on it too; that fails every
    // resampling of d.mp3, which must not leave its decoding waiting; sox otherwise.
    const std::string bin = dir / "bin";
    ::mkdir(bin.c_str(), 0755);
    const std::string real_sox = test::run_shell("command -v sox | tr -d '\\n'").output;
    test::write_file(bin + "/sox",
                     "#!/bin/sh\ncase \"$*\" in */a.8k*gsm* | */c.sox*16000*) exec sleep 3600;; "
                     "*/d.sox*) exit 1;; esac\n"
                     "exec " +
                         real_sox + " \"$@\"\n");
    ::chmod((bin + "/sox").c_str(), 0755);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (bin + ":" + path).c_str(), 1);
    settings.child_time_limit = std::chrono::seconds(2);
    const auto start = std::chrono::steady_clock::now();
    const moh::WalkResult result = walk();
    ::setenv("PATH", path.c_str(), 1);

    EXPECT_EQ(result.status, 1) << "a killed command is a problem of the run";
    // find's order is the filesystem's.
    const std::string before_a = log.text().substr(0, log.text().find("Convert a to ulaw"));
    int a_number = 0;
    for (auto at = before_a.find("Leave the name "); at != std::string::npos;
         at = before_a.find("Leave the name ", at + 1)) {
        ++a_number;
    }
    // Far below the hour the hung children would take, however busy the machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(600));
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
    const std::string text = log.text();
    const auto c = text.find("Convert c to ulaw\nCommand killed by signal 9: sox -R ");
    EXPECT_NE(text.find("  converting " + lib + "/c.mp3 to ulaw\n  timed out after 2 s\n", c),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Convert c to alaw"), std::string::npos) << text;
    EXPECT_NE(text.find("Convert d to ulaw\nCommand failed with exit status 1: sox -R -t sox "),
              std::string::npos)
        << text;
    EXPECT_FALSE(test::exists(lib + "/c.ulaw"));
}

}  // namespace
