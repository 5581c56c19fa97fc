// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/chain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>

#include "convert/staged_output.h"
#include "fakes.h"
#include "process/fd.h"

namespace test {
extern std::atomic<bool> no_tmpfile;
}

namespace {

using moh::Child;
using moh::ChildResult;
using moh::OutputSink;

// What a child finds at descriptor 3: a file from its start, a pipe to its end.
std::string input_of(const Child& child) {
    const int fd = test::handed(child, 3);
    struct stat st {};
    ::fstat(fd, &st);
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = S_ISREG(st.st_mode) ? ::pread(fd, buffer, sizeof buffer, bytes.size())
                                             : ::read(fd, buffer, sizeof buffer)) > 0;) {
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

// The factor a sox command is given, 1 without one.
double factor_of(const Child& child) {
    const auto v = std::find(child.argv.begin(), child.argv.end(), "-v");
    return v == child.argv.end() ? 1.0 : std::strtod((v + 1)->c_str(), nullptr);
}

bool has(const Child& child, const std::string& words) {
    return moh::command_line(child).find(words) != std::string::npos;
}

// Which stage of the conversion a sox command is.
enum Stage : char { kDecoding = 'd', kResampling = 'r', kFormat = 'f' };

class ConversionChain : public ::testing::Test, protected test::FakeRun {
  protected:
    moh::Fd lib_fd;
    moh::Fd work_fd;
    moh::Fd mp3_fd;
    bool converter_ok = true;

    void SetUp() override {
        ::mkdir(settings.work_dir.c_str(), 0700);
        work_fd.reset(::open(settings.work_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        lib_fd.reset(::open(lib.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        test::write_file(lib + "/a.mp3", "mp3");
        mp3_fd.reset(::open((lib + "/a.mp3").c_str(), O_RDONLY | O_CLOEXEC));
    }
    std::string work(const std::string& name) const { return settings.work_dir + "/7/" + name; }
    std::string converting(const std::string& format) const {
        return "  converting " + lib + "/a.mp3 to " + format + "\n";
    }
    moh::ConversionResult convert(double& volume, const moh::AsteriskAccount* reader = nullptr) {
        const moh::Mp3 mp3{lib_fd.get(), mp3_fd.get(), "a.mp3", "a", lib, 7, 3, "mp3"};
        moh::ChainContext context{settings, log.log, runner, work_fd.get(), converter_ok};
        context.reader = reader;
        return moh::convert_mp3(mp3, volume, context);
    }
    // Plays each sox stage by what it is given: the decoder passes on the factor it decodes at,
    // each resampler adds its rate ("0.9@8000"), and each format's command its own factor. A
    // stage reports clipping when `clips` says so of it, its rate, and the level it works at:
    // the factor of the decoding times its own.
    void play_stages(std::function<bool(Stage, int rate, double level)> clips) {
        runner.on_run = [this, clips](const Child& child, const OutputSink& output) {
            if (child.argv[0] != "sox") return runner.play(child, output);
            std::string made = input_of(child);
            const double factor = factor_of(child);
            Stage stage = kFormat;
            if (has(child, "/a.mp3")) {
                stage = kDecoding;
                made = moh::format_text("%g", factor);
            } else if (has(child, "/a.sox")) {
                stage = kResampling;
                made += "@" + child.argv[child.argv.size() - 2];
            } else if (factor != 1) {
                made += moh::format_text(" at %g", factor);
            }
            test::write_fd(test::handed(child, 4), made);
            const auto at = made.find('@');
            const int rate = at == made.npos ? 0 : std::atoi(made.c_str() + at + 1);
            const double level = std::strtod(made.c_str(), nullptr) * factor;
            if (clips(stage, rate, stage == kDecoding ? factor : level))
                output(test::kClippingMessage);
            return ChildResult{};
        };
    }
    std::size_t count(const std::string& words) const {
        return std::count_if(runner.commands.begin(), runner.commands.end(),
                             [&](const std::string& c) { return c.find(words) != c.npos; });
    }
};

TEST_F(ConversionChain, CleanSourceIsDecodedOnceIntoEachFormatOwnedAsItsMp3) {
    // A private upload: its outputs are its owner's and stay private, in the group of the class
    // folder, by which Asterisk reads; the account asterisk.conf names is told where it cannot.
    EXPECT_EQ(::fchown(mp3_fd.get(), 65534, 65534), 0);
    EXPECT_EQ(::fchmod(mp3_fd.get(), 0600), 0);
    EXPECT_EQ(::chown(lib.c_str(), 0, 4242), 0);
    const moh::AsteriskAccount reader{"daemon", 1, {1}, true};
    ::umask(077);
    double volume = 1.0;
    const moh::ConversionResult result = convert(volume, &reader);
    ::umask(022);
    const std::string raw = " -t raw -e signed-integer -b ";
    std::vector<std::string> decoding(runner.commands.begin(), runner.commands.begin() + 3);
    std::sort(decoding.begin(), decoding.end());
    EXPECT_EQ(decoding, (std::vector<std::string>{
                            "sox -R -t sox " + work("a.sox") + raw + "24 -r 16000 /dev/fd/4",
                            "sox -R -t sox " + work("a.sox") + raw + "32 -r 8000 /dev/fd/4",
                            "sox -R " + work("a.mp3") + " -c 1 -t sox /dev/fd/4",
                        }));
    const std::string at8k = "sox -R" + raw + "32 -r 8000 -c 1 " + work("a.8k");
    EXPECT_EQ(std::vector<std::string>(runner.commands.begin() + 3, runner.commands.end()),
              (std::vector<std::string>{
                  at8k + " -t ul /dev/fd/4",
                  at8k + " -t al /dev/fd/4",
                  at8k + " -t gsm /dev/fd/4",
                  at8k + raw + "16 /dev/fd/4",
                  "sox -R" + raw + "24 -r 16000 -c 1 " + work("a.16k") + raw + "16 /dev/fd/4",
                  settings.converter_path + " " + work("a.sln16") + " " + work("a.g722"),
              }));
    std::string lines = test::converts_of("a");
    lines.insert(
        lines.find("Convert a to alaw"),
        "Not readable by daemon: " + lib + "/a.ulaw -- mode 0640, owner nobody, group 4242\n");
    EXPECT_EQ(log.text(), lines);
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(result.outputs.size(), 6u);
    EXPECT_EQ(test::list_dir(lib), "a.alaw a.g722 a.gsm a.mp3 a.sln a.sln16 a.ulaw");
    for (const auto& format : moh::kOutputFormats) {
        struct stat st {};
        ::stat((lib + "/a." + std::string(format)).c_str(), &st);
        EXPECT_EQ(st.st_uid, 65534u) << format;
        EXPECT_EQ(st.st_gid, 4242u) << format;
        EXPECT_EQ(st.st_mode & 07777, 0640u) << format;
    }
    EXPECT_EQ(test::list_dir(settings.work_dir), "") << "private paths left behind";
}

TEST_F(ConversionChain, EachStageReadsWhatTheOneBeforeMadeAndTheDecoderTheMp3AsOpened) {
    // Its writer makes it grow while it is converted: sox must not read on for ever.
    test::write_file(lib + "/a.mp3", "mp3 and then some");
    std::string decoder_read, converter_read;
    play_stages([](Stage, int, double) { return false; });
    const auto stages = runner.on_run;
    runner.on_run = [&](const Child& child, const OutputSink& output) {
        if (has(child, "/a.mp3")) decoder_read = input_of(child);
        if (child.argv[0] == settings.converter_path) converter_read = input_of(child);
        return stages(child, output);
    };
    double volume = 1.0;
    convert(volume);
    EXPECT_EQ(decoder_read, "mp3");
    for (const char* format : {"ulaw", "alaw", "gsm", "sln"})
        EXPECT_EQ(test::read_file(lib + "/a." + format), "1@8000") << format;
    EXPECT_EQ(test::read_file(lib + "/a.sln16"), "1@16000");
    EXPECT_EQ(converter_read, "1@16000");
}

// Each case gives the log a direct conversion gives: where a format clipped it is made again
// lower, and the later formats keep the factor. Audio that clipped when it was resampled is of
// use at its own factor alone, and is decoded again; other audio serves every lower factor.
TEST_F(ConversionChain, ClippingAt8Or16kHzOrBothLowersTheFactorAsADirectConversionWould) {
    const struct {
        const char* what;
        std::function<bool(Stage, int, double)> clips;
        const char* log;  // after "Convert a to ulaw"
        std::size_t decodings;
        const char* ulaw;
        const char* sln16;
    } cases[] = {
        {"formats at 8 kHz, above 0.85",
         [](Stage stage, int rate, double level) {
             return stage == kFormat && rate == 8000 && level > 0.85;
         },
         "Volume appears to be too high; trying 0.9...\n"
         "Volume appears to be too high; trying 0.8...\nConvert a to alaw\nConvert a to gsm\n"
         "Convert a to sln\nConvert a to sln16\nConvert a to g722\n",
         1, "1@8000 at 0.8", "1@16000 at 0.8"},
        {"resampling to 16 kHz, at 1",
         [](Stage stage, int rate, double level) {
             return stage == kResampling && rate == 16000 && level > 0.95;
         },
         "Convert a to alaw\nConvert a to gsm\nConvert a to sln\nConvert a to sln16\n"
         "Volume appears to be too high; trying 0.9...\nConvert a to g722\n",
         2, "1@8000", "0.9@16000"},
        {"resampling to 8 kHz down to 0.9, and formats at 16 kHz above 0.75",
         [](Stage stage, int rate, double level) {
             return (stage == kResampling && rate == 8000 && level > 0.85) ||
                    (stage == kFormat && rate == 16000 && level > 0.75);
         },
         "Volume appears to be too high; trying 0.9...\n"
         "Volume appears to be too high; trying 0.8...\nConvert a to alaw\nConvert a to gsm\n"
         "Convert a to sln\nConvert a to sln16\n"
         "Volume appears to be too high; trying 0.7...\nConvert a to g722\n",
         3, "0.8@8000", "0.8@16000 at 0.875"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        runner.commands.clear();
        const std::size_t before = log.text().size();
        play_stages(c.clips);
        double volume = 1.0;
        EXPECT_TRUE(convert(volume).complete);
        EXPECT_EQ(log.text().substr(before), std::string("Convert a to ulaw\n") + c.log);
        EXPECT_EQ(count("/a.mp3 "), c.decodings);
        EXPECT_EQ(test::read_file(lib + "/a.ulaw"), c.ulaw);
        EXPECT_EQ(test::read_file(lib + "/a.sln16"), c.sln16);
    }
}

TEST_F(ConversionChain, VolumeStopsAtTheFloorWhenClippingNeverEnds) {
    play_stages([](Stage, int, double) { return true; });
    double volume = 1.0;
    const moh::ConversionResult result = convert(volume);
    EXPECT_EQ(count("/a.mp3 "), 10u) << "decoded again down to 0.1";
    EXPECT_EQ(count("/a.8k -t ul "), 10u);
    EXPECT_EQ(test::read_file(lib + "/a.alaw"), "0.1@8000");
    const std::string text = log.text();
    EXPECT_EQ(text.find("e-"), std::string::npos) << "the factor went below the floor";
    std::size_t stills = 0;
    for (auto at = text.find("Still clipping at volume 0.1; keeping this conversion\n");
         at != std::string::npos; at = text.find("Still clipping", at + 1)) {
        ++stills;
    }
    EXPECT_EQ(stills, 5u);
    EXPECT_TRUE(result.complete) << "a conversion kept at the floor counts as done";
}

TEST_F(ConversionChain, FailedCommandsAreExplainedAndKeepThePreviousOutputs) {
    for (const char* format : {"gsm", "sln", "g722", "alaw"}) {
        test::write_file(lib + "/a." + format, std::string("previous ") + format);
    }
    runner.on_run = [&](const Child& child, const OutputSink& output) {
        if (has(child, " -t gsm ")) {
            test::write_fd(test::handed(child, 4), "half");
            output("sox WARN something\nsox FAIL gsm: cannot encode\n");
            return test::exited(2);
        }
        if (has(child, "-b 32 -r 8000 -c 1 " + work("a.8k") + " -t raw")) {
            test::write_fd(test::handed(child, 4), "half");
            output("sox FAIL sox: error writing output file: Input/output error\n");
            return ChildResult{};
        }
        if (child.argv[0] == settings.converter_path) {
            output("asterisk_convert: cannot write out: Input/output error\n");
            return ChildResult{9, true};
        }
        return runner.play(child, output);
    };
    double volume = 1.0;
    const moh::ConversionResult result = convert(volume);
    const std::string at8k = "sox -R -t raw -e signed-integer -b 32 -r 8000 -c 1 " + work("a.8k");
    EXPECT_EQ(log.text(),
              "Convert a to ulaw\nConvert a to alaw\nConvert a to gsm\n"
              "Command failed with exit status 2: " +
                  at8k + " -t gsm /dev/fd/4\n" + converting("gsm") +
                  "  sox said: sox FAIL gsm: cannot encode\n"
                  "Convert a to sln\n"
                  "Command reported \"sox FAIL sox: error writing output file: Input/output "
                  "error\" though it exited with status 0: " +
                  at8k + " -t raw -e signed-integer -b 16 /dev/fd/4\n" + converting("sln") +
                  "Convert a to sln16\nConvert a to g722\n"
                  "Command killed by signal 9: " +
                  settings.converter_path + " " + work("a.sln16") + " " + work("a.g722") + "\n" +
                  converting("g722") +
                  "  timed out after 600 s\n"
                  "  asterisk_convert said: asterisk_convert: cannot write out: Input/output "
                  "error\n");
    EXPECT_FALSE(result.complete);
    for (const char* format : {"gsm", "sln", "g722"}) {
        EXPECT_EQ(test::read_file(lib + "/a." + format), std::string("previous ") + format);
    }
    EXPECT_EQ(test::read_file(lib + "/a.alaw"), "sox output");
}

// Failures after which nothing more of the MP3 can be made: one report, and the chain ends.
TEST_F(ConversionChain, FailureThatEveryLaterFormatWouldMeetEndsTheChain) {
    const std::string decoder = "sox -R " + work("a.mp3") + " -c 1 -t sox /dev/fd/4";
    // Each fails the same way on the next run.
    const std::string left = "  the other formats of " + lib + "/a.mp3 are not made either\n";
    const struct {
        const char* what;
        std::function<ChildResult(const Child&, const OutputSink&)> run;
        std::string log;  // after "Convert a to ulaw"
        bool no_space;
    } cases[] = {
        {"an MP3 sox cannot read",
         [&](const Child& child, const OutputSink& output) {
             if (!has(child, "/a.mp3")) return ChildResult{};
             output("sox FAIL formats: can't open input file `" + work("a.mp3") + "': \n");
             return test::exited(2);
         },
         "Command failed with exit status 2: " + decoder + "\n" + converting("ulaw") +
             "  sox said: sox FAIL formats: can't open input file `" + lib + "/a.mp3': \n" +
             "  the file is not an MP3: it begins with \"mp3\"\n" + left,
         false},
        {"no sox", [](const Child&, const OutputSink&) { return test::exited(127); },
         "Command failed with exit status 127: " + decoder + "\n" + converting("ulaw") + left,
         false},
        {"a resampler that fails, which cuts the decoder off",
         [&](const Child& child, const OutputSink& output) {
             if (has(child, "/a.mp3")) return ChildResult{SIGPIPE};
             if (!has(child, "16000")) return ChildResult{};
             output("sox FAIL formats: can't open output file `/dev/fd/4': \n");
             return test::exited(2);
         },
         "Command failed with exit status 2: sox -R -t sox " + work("a.sox") +
             " -t raw -e signed-integer -b 24 -r 16000 /dev/fd/4\n" + converting("ulaw") +
             "  sox said: sox FAIL formats: can't open output file `/dev/fd/4': \n" + left,
         false},
        {"a library with no room",
         [&](const Child& child, const OutputSink& output) {
             if (!has(child, " -t ul ")) return ChildResult{};
             output(
                 "sox FAIL sox: `/dev/fd/4' error writing output file: No space left on "
                 "device\n");
             return ChildResult{};
         },
         "Command reported \"sox FAIL sox: `/dev/fd/4' error writing output file: No space left "
         "on device\" though it exited with status 0: sox -R -t raw -e signed-integer -b 32 -r "
         "8000 -c 1 " +
             work("a.8k") + " -t ul /dev/fd/4\n" + converting("ulaw"),
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        runner.commands.clear();
        const std::size_t before = log.text().size();
        runner.on_run = c.run;
        double volume = 1.0;
        const moh::ConversionResult result = convert(volume);
        EXPECT_EQ(log.text().substr(before), "Convert a to ulaw\n" + c.log);
        EXPECT_EQ(count(settings.converter_path), 0u);
        EXPECT_FALSE(result.complete);
        EXPECT_EQ(result.no_space, c.no_space);
        EXPECT_EQ(test::list_dir(lib), "a.mp3");
    }
}

TEST_F(ConversionChain, WithoutAConverterTheSoxFormatsAreMadeAndTheMp3StaysIncomplete) {
    converter_ok = false;
    double volume = 1.0;
    const moh::ConversionResult result = convert(volume);
    EXPECT_EQ(count(settings.converter_path), 0u);
    const std::string lines = test::converts_of("a");
    EXPECT_EQ(log.text(), lines.substr(0, lines.rfind("Convert")));
    EXPECT_FALSE(result.complete) << "the next -u run would not make the .g722";
    EXPECT_EQ(test::list_dir(lib), "a.alaw a.gsm a.mp3 a.sln a.sln16 a.ulaw");
}

TEST_F(ConversionChain, LinksHardLinksAndFifosAtOutputNamesAreReplacedNotWrittenThrough) {
    test::write_file(dir / "victim", "precious");
    EXPECT_EQ(::symlink((dir / "victim").c_str(), (lib + "/a.ulaw").c_str()), 0);
    EXPECT_EQ(::link((dir / "victim").c_str(), (lib + "/a.alaw").c_str()), 0);
    ::mkfifo((lib + "/a.gsm").c_str(), 0644);
    EXPECT_EQ(::symlink((dir / "victim").c_str(), (lib + "/a.g722").c_str()), 0);
    double volume = 1.0;
    EXPECT_TRUE(convert(volume).complete);
    EXPECT_EQ(test::read_file(dir / "victim"), "precious");
    for (const char* format : {"ulaw", "alaw", "gsm"}) {
        EXPECT_EQ(test::read_file(lib + "/a." + format), "sox output") << format;
    }
    EXPECT_EQ(test::read_file(lib + "/a.g722"), "g722 output");
}

// Where the filesystem has no unnamed files, the staged output has a name: no one but root may
// read what is written to it before it is published.
TEST_F(ConversionChain, FallbackStagedOutputIsRootsAloneUntilPublished) {
    test::no_tmpfile = true;
    moh::StagedOutput output(lib_fd.get());
    test::no_tmpfile = false;
    struct stat st {};
    ASSERT_EQ(::fstat(output.fd(), &st), 0);
    ASSERT_EQ(st.st_nlink, 1u) << "not the fallback";
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(output.give_to(::geteuid(), ::getegid(), 0640), 0);
    ASSERT_EQ(output.publish("a.ulaw"), 0);
    ASSERT_EQ(::stat((lib + "/a.ulaw").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ConversionChain, InterruptedChildEndsTheChainWithoutPublishing) {
    runner.on_run = [&](const Child& child, const OutputSink& output) {
        if (has(child, " -t al ")) {
            test::write_fd(test::handed(child, 4), "half");
            return ChildResult{9, false, true};
        }
        return runner.play(child, output);
    };
    double volume = 1.0;
    const moh::ConversionResult result = convert(volume);
    EXPECT_TRUE(result.interrupted);
    EXPECT_EQ(runner.commands.size(), 3u + 2u);
    EXPECT_EQ(test::list_dir(lib), "a.mp3 a.ulaw");
    EXPECT_EQ(log.text(), "Convert a to ulaw\nConvert a to alaw\n");
}

}  // namespace
