#include "convert.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fakes.h"

namespace {

class ConversionChain : public ::testing::Test, protected test::FakeRun {
  protected:
    // The command as the fixed settings write it, with this test's capture path.
    std::string expected(std::string command) const {
        const auto at = command.find("/tmp/xxx");
        if (at != std::string::npos) command.replace(at, 8, settings.capture_path);
        return command;
    }
    std::vector<std::string> sox_commands_of(const std::string& format) const {
        std::vector<std::string> found;
        for (const auto& c : runner.commands) {
            if (c.find(" -t " + format + " ") != std::string::npos) found.push_back(c);
        }
        return found;
    }
    void convert(double& volume) { moh::convert_mp3("/d", "a", volume, context); }
};

TEST_F(ConversionChain, CleanSourceRunsTheSixCommandsOnce) {
    double volume = 1.0;
    convert(volume);
    EXPECT_EQ(runner.commands,
              (std::vector<std::string>{
                  expected("sox /d/a.mp3 -c 1 -r 8000 -t ul /d/a.ulaw > /tmp/xxx 2>&1"),
                  expected("sox -v 1 /d/a.mp3 -c 1 -r 8000 -t al /d/a.alaw > /tmp/xxx 2>&1"),
                  expected("sox -v 1 /d/a.mp3 -c 1 -r 8000 -t gsm /d/a.gsm > /tmp/xxx 2>&1"),
                  expected("sox -v 1 /d/a.mp3 -c 1 -r 8000 -t raw /d/a.sln > /tmp/xxx 2>&1"),
                  expected("sox -v 1 /d/a.mp3 -c 1 -r 16000 -t raw /d/a.sln16 > /tmp/xxx 2>&1"),
                  settings.converter_path + " /d/a.sln16 /d/a.g722",
              }));
    EXPECT_EQ(log.text(),
              "Convert a to ulaw\nConvert a to alaw\nConvert a to gsm\nConvert a to sln\n"
              "Convert a to sln16\nConvert a to g722\n");
    EXPECT_EQ(volume, 1.0);
}

TEST_F(ConversionChain, ClipOnFirstRunRetriesAtLowerVolumeForEveryLaterFormat) {
    runner.on_run = test::sox_clipping(settings.capture_path, [](int run) { return run == 0; });
    double volume = 1.0;
    convert(volume);
    ASSERT_EQ(runner.commands.size(), 7u);
    EXPECT_EQ(runner.commands[1],
              expected("sox -v 0.9 /d/a.mp3 -c 1 -r 8000 -t ul /d/a.ulaw > /tmp/xxx 2>&1"));
    for (std::size_t i = 2; i < 6; ++i) EXPECT_EQ(runner.commands[i].rfind("sox -v 0.9 ", 0), 0u);
    EXPECT_EQ(runner.commands[5],
              expected("sox -v 0.9 /d/a.mp3 -c 1 -r 16000 -t raw /d/a.sln16 > /tmp/xxx 2>&1"));
    EXPECT_EQ(log.text(),
              "Convert a to ulaw\nVolume appears to be too high; trying 0.9...\n"
              "Convert a to alaw\nConvert a to gsm\nConvert a to sln\nConvert a to sln16\n"
              "Convert a to g722\n");
    EXPECT_EQ(volume, 1.0 - 0.1);
}

TEST_F(ConversionChain, LoweredVolumeCarriesAcrossFormats) {
    // ulaw clips at 1.0 and 0.9; alaw clips at 0.8 and is clean at 0.7.
    runner.on_run =
        test::sox_clipping(settings.capture_path, [](int run) { return run <= 1 || run == 3; });
    double volume = 1.0;
    convert(volume);
    EXPECT_EQ(sox_commands_of("al"),
              (std::vector<std::string>{
                  expected("sox -v 0.8 /d/a.mp3 -c 1 -r 8000 -t al /d/a.alaw > /tmp/xxx 2>&1"),
                  expected("sox -v 0.7 /d/a.mp3 -c 1 -r 8000 -t al /d/a.alaw > /tmp/xxx 2>&1"),
              }));
    for (const char* later : {"gsm", "raw"}) {
        for (const auto& command : sox_commands_of(later)) {
            EXPECT_EQ(command.rfind("sox -v 0.7 ", 0), 0u) << command;
        }
    }
    EXPECT_EQ(log.text(),
              "Convert a to ulaw\nVolume appears to be too high; trying 0.9...\n"
              "Volume appears to be too high; trying 0.8...\nConvert a to alaw\n"
              "Volume appears to be too high; trying 0.7...\nConvert a to gsm\nConvert a to sln\n"
              "Convert a to sln16\nConvert a to g722\n");
}

TEST_F(ConversionChain, VolumeStopsAtTheFloorWhenClippingNeverEnds) {
    runner.on_run = test::sox_clipping(settings.capture_path, [](int) { return true; });
    double volume = 1.0;
    convert(volume);

    const auto ulaw = sox_commands_of("ul");
    ASSERT_EQ(ulaw.size(), 10u);
    EXPECT_EQ(ulaw.back(),
              expected("sox -v 0.1 /d/a.mp3 -c 1 -r 8000 -t ul /d/a.ulaw > /tmp/xxx 2>&1"));
    // Every later format runs once at the floor and keeps what it made.
    EXPECT_EQ(runner.commands.size(), 10u + 4u + 1u);
    EXPECT_GT(volume, 0.05);
    const std::string text = log.text();
    for (const char* step : {"0.9", "0.8", "0.7", "0.6", "0.5", "0.4", "0.3", "0.2", "0.1"}) {
        EXPECT_NE(text.find(std::string("trying ") + step + "...\n"), std::string::npos) << step;
    }
    EXPECT_EQ(text.find("e-"), std::string::npos) << "the factor went below the floor";
    std::size_t stills = 0;
    for (auto at = text.find("Still clipping at volume 0.1; keeping this conversion\n");
         at != std::string::npos; at = text.find("Still clipping", at + 1)) {
        ++stills;
    }
    EXPECT_EQ(stills, 5u);
}

TEST_F(ConversionChain, FailedCommandsAreReportedWithTheirStatus) {
    runner.on_run = [&](const std::string& command) {
        if (command.find(" -t gsm ") != std::string::npos) return test::exited(2);
        if (command.rfind(settings.converter_path, 0) == 0) return 9;  // killed by SIGKILL
        return 0;
    };
    double volume = 1.0;
    convert(volume);
    const std::string text = log.text();
    EXPECT_NE(text.find("Convert a to gsm\nCommand failed with exit status 2: " +
                        expected("sox -v 1 /d/a.mp3 -c 1 -r 8000 -t gsm /d/a.gsm > /tmp/xxx 2>&1") +
                        "\nConvert a to sln\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Convert a to g722\nCommand killed by signal 9: " +
                        settings.converter_path + " /d/a.sln16 /d/a.g722\n"),
              std::string::npos)
        << text;
}

TEST_F(ConversionChain, SoxFailureDespiteStatusZeroIsReported) {
    runner.on_run = [&](const std::string& command) {
        if (command.find(" -t raw ") != std::string::npos) {
            test::write_file(settings.capture_path,
                             "sox FAIL sox: `/d/a.sln' error writing output file: No space left "
                             "on device\n");
        }
        return 0;
    };
    double volume = 1.0;
    convert(volume);
    EXPECT_NE(log.text().find(
                  "Convert a to sln\nCommand reported \"sox FAIL sox: `/d/a.sln' error writing "
                  "output file: No space left on device\" though it exited with status 0: " +
                  expected("sox -v 1 /d/a.mp3 -c 1 -r 8000 -t raw /d/a.sln > /tmp/xxx 2>&1") +
                  "\nConvert a to sln16\n"),
              std::string::npos)
        << log.text();
}

TEST_F(ConversionChain, CaptureLeftBySomeoneElseIsNeitherWrittenThroughNorRead) {
    const std::string victim = dir / "victim";
    test::write_file(victim, "decrease, said someone else");
    ::symlink(victim.c_str(), settings.capture_path.c_str());
    bool capture_absent_at_every_run = true;
    runner.on_run = [&](const std::string&) {
        capture_absent_at_every_run =
            capture_absent_at_every_run && !test::exists(settings.capture_path);
        return 0;
    };
    double volume = 1.0;
    convert(volume);
    EXPECT_TRUE(capture_absent_at_every_run);
    EXPECT_EQ(volume, 1.0);
    EXPECT_EQ(test::read_file(victim), "decrease, said someone else");
}

TEST_F(ConversionChain, OutputsPlantedAsLinksAreReplacedNotWrittenThrough) {
    const std::string d = dir / "lib";
    ::mkdir(d.c_str(), 0755);
    test::write_file(dir / "victim", "precious");
    ::symlink((dir / "victim").c_str(), (d + "/a.ulaw").c_str());
    ::link((dir / "victim").c_str(), (d + "/a.alaw").c_str());
    ::mkfifo((d + "/a.gsm").c_str(), 0644);
    ::symlink((dir / "victim").c_str(), (d + "/a.g722").c_str());
    test::write_file(d + "/a.sln", "previous conversion");
    runner.on_run = [&](const std::string& command) {
        // Write the output the way sox does: following links, truncating in place. It is the
        // last word before the redirection.
        const std::string words = command.substr(0, command.find(" > "));
        const std::string output = words.substr(words.rfind(' ') + 1);
        struct stat st {};
        if (::lstat(output.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) return 1;  // would hang
        if (output != d + "/a.sln") test::write_file(output, "converted");
        return 0;
    };
    double volume = 1.0;
    moh::convert_mp3(d, "a", volume, context);
    EXPECT_EQ(test::read_file(dir / "victim"), "precious");
    for (const char* format : {"ulaw", "alaw", "gsm", "sln16", "g722"}) {
        EXPECT_EQ(test::read_file(d + "/a." + format), "converted") << format;
    }
    EXPECT_EQ(test::read_file(d + "/a.sln"), "previous conversion")
        << "a plain output is only ever rewritten by its converter";
}

TEST_F(ConversionChain, LogIsFlushedBeforeEachCommand) {
    std::vector<std::string> seen;
    runner.on_run = [&](const std::string&) {
        seen.push_back(log.flushed());
        return 0;
    };
    double volume = 1.0;
    convert(volume);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0], "Convert a to ulaw\n");
    EXPECT_EQ(seen[5].substr(seen[5].size() - 18), "Convert a to g722\n");
}

}  // namespace
