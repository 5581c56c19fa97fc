#include "convert/chain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fakes.h"
#include "process/fd.h"

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

class ConversionChain : public ::testing::Test, protected test::FakeRun {
  protected:
    moh::Fd lib_fd;
    moh::Fd work_fd;
    moh::Fd mp3_fd;

    void SetUp() override {
        ::mkdir(settings.work_dir.c_str(), 0700);
        work_fd.reset(::open(settings.work_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        lib_fd.reset(::open(lib.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        test::write_file(lib + "/a.mp3", "mp3");
        mp3_fd.reset(::open((lib + "/a.mp3").c_str(), O_RDONLY | O_CLOEXEC));
    }
    bool converter_ok = true;

    std::string input() const { return settings.work_dir + "/7/a.mp3"; }
    std::string converting(const std::string& format) const {
        return "  converting " + lib + "/a.mp3 to " + format + "\n";
    }
    moh::ConversionResult convert(double& volume) {
        const moh::Mp3 mp3{lib_fd.get(), mp3_fd.get(), "a.mp3", "a", lib, 7, 3};
        return moh::convert_mp3(mp3, volume,
                                {settings, log.log, runner, work_fd.get(), converter_ok});
    }
    // Has sox run number i (counting sox runs only, from 0) report clipping when clips(i).
    void clip_when(std::function<bool(int)> clips) {
        runner.on_run = [this, clips, runs = 0](const Child& child,
                                                const OutputSink& output) mutable {
            if (child.argv[0] == "sox" && clips(runs++)) output(test::kClippingMessage);
            return runner.play(child, output);
        };
    }
    std::vector<std::string> commands_with(const std::string& words) const {
        std::vector<std::string> found;
        for (const auto& c : runner.commands) {
            if (c.find(words) != std::string::npos) found.push_back(c);
        }
        return found;
    }
};

TEST_F(ConversionChain, CleanSourceRunsTheSixCommandsOnceAndPublishesEachOutputAsItsOwners) {
    ::fchown(mp3_fd.get(), 65534, 65534);
    ::umask(077);
    double volume = 1.0;
    const moh::ConversionResult result = convert(volume);
    const std::string in = input();
    EXPECT_EQ(runner.commands,
              (std::vector<std::string>{
                  "sox " + in + " -c 1 -r 8000 -t ul /dev/fd/4",
                  "sox -v 1 " + in + " -c 1 -r 8000 -t al /dev/fd/4",
                  "sox -v 1 " + in + " -c 1 -r 8000 -t gsm /dev/fd/4",
                  "sox -v 1 " + in + " -c 1 -r 8000 -t raw -e signed-integer -b 16 /dev/fd/4",
                  "sox -v 1 " + in + " -c 1 -r 16000 -t raw -e signed-integer -b 16 /dev/fd/4",
                  settings.converter_path + " " + settings.work_dir + "/7/a.sln16 " +
                      settings.work_dir + "/7/a.g722",
              }));
    EXPECT_EQ(log.text(), test::converts_of("a"));
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(result.outputs.size(), 6u);
    EXPECT_EQ(test::list_dir(lib), "a.alaw a.g722 a.gsm a.mp3 a.sln a.sln16 a.ulaw");
    for (const auto& format : moh::kOutputFormats) {
        struct stat st {};
        ::stat((lib + "/a." + std::string(format)).c_str(), &st);
        EXPECT_EQ(st.st_uid, 65534u) << format;
        EXPECT_EQ(st.st_gid, 65534u) << format;
        EXPECT_EQ(st.st_mode & 07777, 0644u) << format;
    }
    ::umask(022);
    EXPECT_EQ(test::list_dir(settings.work_dir), "") << "private paths left behind";
}

TEST_F(ConversionChain, ChildrenGetTheMp3AsItWasOpenedAndTheFreshSln16AsDescriptor3) {
    // Its writer makes it grow while it is converted: sox must not read on for ever.
    test::write_file(lib + "/a.mp3", "mp3 and then some");
    std::vector<std::string> read_as_input;
    runner.on_run = [&](const Child& child, const OutputSink& output) {
        read_as_input.push_back(input_of(child));
        return runner.play(child, output);
    };
    double volume = 1.0;
    convert(volume);
    ASSERT_EQ(read_as_input.size(), 6u);
    EXPECT_EQ(read_as_input[0], "mp3");
    EXPECT_EQ(read_as_input[4], "mp3");
    EXPECT_EQ(read_as_input[5], "sox output");
}

TEST_F(ConversionChain, ClippingLowersTheVolumeForThisAndEveryLaterFormat) {
    // ulaw clips at 1.0 and 0.9; alaw clips at 0.8 and is clean at 0.7.
    clip_when([](int run) { return run <= 1 || run == 3; });
    double volume = 1.0;
    convert(volume);
    EXPECT_EQ(
        commands_with("-t ul "),
        (std::vector<std::string>{"sox " + input() + " -c 1 -r 8000 -t ul /dev/fd/4",
                                  "sox -v 0.9 " + input() + " -c 1 -r 8000 -t ul /dev/fd/4",
                                  "sox -v 0.8 " + input() + " -c 1 -r 8000 -t ul /dev/fd/4"}));
    EXPECT_EQ(commands_with("-t al ").back(),
              "sox -v 0.7 " + input() + " -c 1 -r 8000 -t al /dev/fd/4");
    for (const auto& later : commands_with(" -t gsm "))
        EXPECT_EQ(later.rfind("sox -v 0.7 ", 0), 0u);
    EXPECT_EQ(commands_with("-v 0.7 ").size(), 1u + 3u);
    EXPECT_EQ(log.text(),
              "Convert a to ulaw\nVolume appears to be too high; trying 0.9...\n"
              "Volume appears to be too high; trying 0.8...\nConvert a to alaw\n"
              "Volume appears to be too high; trying 0.7...\nConvert a to gsm\nConvert a to sln\n"
              "Convert a to sln16\nConvert a to g722\n");
}

TEST_F(ConversionChain, VolumeStopsAtTheFloorWhenClippingNeverEnds) {
    clip_when([](int) { return true; });
    double volume = 1.0;
    const moh::ConversionResult result = convert(volume);
    EXPECT_EQ(commands_with(" -t ul ").size(), 10u);
    EXPECT_EQ(runner.commands.size(), 10u + 4u + 1u);
    EXPECT_EQ(commands_with("-v 0.1 ").size(), 1u + 4u);
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
        const std::string line = moh::command_line(child);
        if (line.find(" -t gsm ") != std::string::npos) {
            test::write_fd(test::handed(child, 4), "half");
            output("sox WARN something\nsox FAIL formats: can't open input file: corrupt\n");
            return test::exited(2);
        }
        if (line.find(" -r 8000 -t raw ") != std::string::npos) {
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
    const std::string in = input();
    EXPECT_EQ(log.text(),
              "Convert a to ulaw\nConvert a to alaw\nConvert a to gsm\n"
              "Command failed with exit status 2: sox -v 1 " +
                  in + " -c 1 -r 8000 -t gsm /dev/fd/4\n" + converting("gsm") +
                  "  sox said: sox FAIL formats: can't open input file: corrupt\n"
                  "Convert a to sln\n"
                  "Command reported \"sox FAIL sox: error writing output file: Input/output "
                  "error\" though it exited with status 0: sox -v 1 " +
                  in + " -c 1 -r 8000 -t raw -e signed-integer -b 16 /dev/fd/4\n" +
                  converting("sln") +
                  "Convert a to sln16\nConvert a to g722\n"
                  "Command killed by signal 9: " +
                  settings.converter_path + " " + settings.work_dir + "/7/a.sln16 " +
                  settings.work_dir + "/7/a.g722\n" + converting("g722") +
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
    const struct {
        std::string said;
        int status;
        std::string after;  // what follows the report
        bool no_space;
    } cases[] = {
        {"sox FAIL formats: can't open input file `x': ", 2,
         "  the other formats of " + lib + "/a.mp3 are left for the next run\n", false},
        {"sox FAIL sox: `/dev/fd/4' error writing output file: No space left on device", 0, "",
         true},
    };
    for (const auto& c : cases) {
        runner.commands.clear();
        const std::size_t before = log.text().size();
        runner.on_run = [&](const Child&, const OutputSink& output) {
            output(c.said + "\n");
            return test::exited(c.status);
        };
        double volume = 1.0;
        const moh::ConversionResult result = convert(volume);
        const std::string command = "sox " + input() + " -c 1 -r 8000 -t ul /dev/fd/4";
        EXPECT_EQ(log.text().substr(before),
                  "Convert a to ulaw\n" +
                      (c.status == 0 ? "Command reported \"" + c.said +
                                           "\" though it exited with status 0: " + command + "\n" +
                                           converting("ulaw")
                                     : "Command failed with exit status 2: " + command + "\n" +
                                           converting("ulaw") + "  sox said: " + c.said + "\n") +
                      c.after);
        EXPECT_EQ(runner.commands.size(), 1u);
        EXPECT_FALSE(result.complete);
        EXPECT_EQ(result.no_space, c.no_space);
        EXPECT_EQ(test::list_dir(lib), "a.mp3");
    }
}

TEST_F(ConversionChain, WithoutAConverterTheSoxFormatsAreMadeAndTheMp3StaysIncomplete) {
    converter_ok = false;
    double volume = 1.0;
    const moh::ConversionResult result = convert(volume);
    EXPECT_EQ(runner.commands.size(), 5u);
    EXPECT_EQ(log.text(),
              test::converts_of("a").substr(0, test::converts_of("a").rfind("Convert")));
    EXPECT_FALSE(result.complete) << "the next -u run would not make the .g722";
    EXPECT_EQ(test::list_dir(lib), "a.alaw a.gsm a.mp3 a.sln a.sln16 a.ulaw");
}

TEST_F(ConversionChain, LinksHardLinksAndFifosAtOutputNamesAreReplacedNotWrittenThrough) {
    test::write_file(dir / "victim", "precious");
    ::symlink((dir / "victim").c_str(), (lib + "/a.ulaw").c_str());
    ::link((dir / "victim").c_str(), (lib + "/a.alaw").c_str());
    ::mkfifo((lib + "/a.gsm").c_str(), 0644);
    ::symlink((dir / "victim").c_str(), (lib + "/a.g722").c_str());
    double volume = 1.0;
    EXPECT_TRUE(convert(volume).complete);
    EXPECT_EQ(test::read_file(dir / "victim"), "precious");
    for (const char* format : {"ulaw", "alaw", "gsm"}) {
        EXPECT_EQ(test::read_file(lib + "/a." + format), "sox output") << format;
    }
    EXPECT_EQ(test::read_file(lib + "/a.g722"), "g722 output");
}

TEST_F(ConversionChain, InterruptedChildEndsTheChainWithoutPublishing) {
    runner.on_run = [&](const Child& child, const OutputSink& output) {
        if (child.argv[0] == "sox" && runner.commands.size() == 2) {
            test::write_fd(test::handed(child, 4), "half");
            return ChildResult{9, false, true};
        }
        return runner.play(child, output);
    };
    double volume = 1.0;
    const moh::ConversionResult result = convert(volume);
    EXPECT_TRUE(result.interrupted);
    EXPECT_EQ(runner.commands.size(), 2u);
    EXPECT_EQ(test::list_dir(lib), "a.mp3 a.ulaw");
    EXPECT_EQ(log.text(), "Convert a to ulaw\nConvert a to alaw\n");
}

}  // namespace
