#include "walk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fakes.h"

namespace {

constexpr const char* kEmptySummary =
    "Found and converted 0 mp3 files\nCHanged name of 0 files\nNow, to the db....\n";

TEST(ListingCommand, IsTheFixedFindLine) {
    EXPECT_EQ(moh::listing_command(moh::fixed_settings()),
              "find /home/services/asterisk/var/lib/asterisk/mohmp3 -name \\*.mp3 -o -name "
              "\\*.ulaw  -o -name \\*.alaw  -o -name \\*.gsm  -o -name \\*.wav  -o -name \\*.WAV  "
              "-o -name \\*. > /tmp/moh-xx 2>&1");
}

TEST(LibraryEntries, OnlyPathsInsideTheLibraryCount) {
    using namespace std::string_literals;
    const std::string lib = "/srv/moh";
    struct Case {
        std::string entry;
        bool inside;
    };
    const Case cases[] = {
        {"/srv/moh/a.mp3", true},
        {"/srv/moh/sub/dir/a b.wav", true},
        {"/srv/moh/..a.mp3", true},
        {"/srv/moh/a..", true},
        {"/srv/moh", false},
        {"/srv/moh/", false},
        {"/srv/moh2/a.mp3", false},
        {"/srv/mo/a.mp3", false},
        {"/srv/moh/../etc/a.mp3", false},
        {"/srv/moh/sub/..", false},
        {"/srv/moh/./a.mp3", false},
        {"a.mp3", false},
        {"find: '/srv/moh': No such file or directory", false},
        {" /srv/moh/a.mp3", false},
        {"/srv/moh/a\0.mp3"s, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(moh::is_library_entry(c.entry, lib), c.inside) << c.entry;
    }
}

class Walk : public ::testing::Test, protected test::FakeRun {
  protected:
    std::string lib = settings.library_dir;

    void SetUp() override { ::mkdir(lib.c_str(), 0755); }

    // Has the listing command write `listing`, as find would.
    void list(const std::string& listing) {
        runner.on_run = [this, listing](const std::string& command) {
            if (command == moh::listing_command(settings))
                test::write_file(settings.listing_path, listing);
            return 0;
        };
    }
    int walk() { return moh::run_walk(context); }
    std::string converts_of(const std::string& stem) const {
        return "Convert " + stem + " to ulaw\nConvert " + stem + " to alaw\nConvert " + stem +
               " to gsm\nConvert " + stem + " to sln\nConvert " + stem + " to sln16\nConvert " +
               stem + " to g722\n";
    }
};

TEST_F(Walk, EmptyListingPrintsZeroSummary) {
    list("");
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(log.text(), kEmptySummary);
    EXPECT_EQ(runner.commands, std::vector<std::string>{moh::listing_command(settings)});
}

TEST_F(Walk, MissingListingEndsWithStatus20) {
    runner.on_run = [](const std::string&) { return test::exited(2); };
    EXPECT_EQ(walk(), 20);
    EXPECT_EQ(log.text(), "Couldn't open " + settings.listing_path + "\n");
}

TEST_F(Walk, ListingPlantedBeforeTheRunIsReplacedNotWrittenThrough) {
    test::write_file(dir / "victim", "precious");
    ::symlink((dir / "victim").c_str(), settings.listing_path.c_str());
    list(lib + "/a.wav\n");
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(test::read_file(dir / "victim"), "precious");
    EXPECT_EQ(test::read_file(settings.listing_path), lib + "/a.wav\n") << "the listing stays";
}

TEST_F(Walk, DirectoryAtTheListingPathCannotBeOpened) {
    ::mkdir(settings.listing_path.c_str(), 0755);
    test::write_file(settings.listing_path + "/keep", "");  // a non-empty directory stays
    EXPECT_EQ(walk(), 20);
    EXPECT_EQ(log.text(), "Couldn't open " + settings.listing_path + "\n");
}

TEST_F(Walk, ShortLinesAreSkippedSilently) {
    list("\n\nx\n/\n");
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(log.text(), kEmptySummary);
}

TEST_F(Walk, CleanMp3AndWavGiveTheirLinesInOrder) {
    test::write_file(lib + "/a.mp3", "mp3");
    list(lib + "/a.mp3\n" + lib + "/a.wav\n");
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(log.text(), "Leave the name " + lib + "/a.mp3 alone\n" + converts_of("a") +
                              "Leave the name " + lib + "/a.wav alone\n" +
                              "skipping non-mp3 file conversion of a.wav-- must already be "
                              "asterisk compatible!\n"
                              "Found and converted 1 mp3 files\nCHanged name of 0 files\n"
                              "Now, to the db....\n");
    EXPECT_EQ(runner.commands[1], "sox " + lib + "/a.mp3 -c 1 -r 8000 -t ul " + lib + "/a.ulaw > " +
                                      settings.capture_path + " 2>&1");
}

TEST_F(Walk, LastLineWithoutNewlineKeepsAllItsCharacters) {
    test::write_file(lib + "/last.mp3", "mp3");
    list(lib + "/first.wav\n" + lib + "/last.mp3");
    EXPECT_EQ(walk(), 0);
    EXPECT_NE(log.text().find(converts_of("last")), std::string::npos) << log.text();
}

TEST_F(Walk, LongLineIsOneEntry) {
    std::string path = lib;
    for (int depth = 0; depth < 5; ++depth) {
        path += "/" + std::string(250, 'd');
        ::mkdir(path.c_str(), 0755);
    }
    const std::string stem(250, 'n');
    test::write_file(path + "/" + stem + ".mp3", "mp3");
    list(path + "/" + stem + ".mp3\n");
    EXPECT_EQ(walk(), 0);
    EXPECT_NE(log.text().find(converts_of(stem)), std::string::npos) << log.text();
    EXPECT_EQ(runner.commands.back(), settings.converter_path + " " + path + "/" + stem +
                                          ".sln16 " + path + "/" + stem + ".g722");
    EXPECT_NE(log.text().find("Found and converted 1 mp3 files\n"), std::string::npos);
    EXPECT_EQ(runner.commands.size(), 1u + 6u);
}

TEST_F(Walk, OnlyNamesEndingInMp3AreConverted) {
    list(lib + "/x.mp3.wav\n" + lib + "/y.WAV\n" + lib + "/z.gsm\n" + lib + "/u.ulaw\n" + lib +
         "/v.alaw\n" + lib + "/w.\n" + lib + "/up.MP3\n");
    EXPECT_EQ(walk(), 0);
    for (const char* base : {"x.mp3.wav", "y.WAV", "z.gsm", "u.ulaw", "v.alaw", "w.", "up.MP3"}) {
        EXPECT_NE(log.text().find(std::string("skipping non-mp3 file conversion of ") + base +
                                  "-- must already be asterisk compatible!\n"),
                  std::string::npos)
            << base;
    }
    EXPECT_NE(log.text().find("Found and converted 0 mp3 files\n"), std::string::npos);
    EXPECT_EQ(runner.commands.size(), 1u);
}

TEST_F(Walk, LinesOutsideTheLibraryAreIgnored) {
    test::write_file(dir / "outside me.mp3", "not ours");
    const std::string lines[] = {
        "find: '" + lib + "': No such file or directory",
        dir / "outside me.mp3",
        lib + "/../outside me.mp3",
        lib + "/./a.mp3",
        "relative.mp3",
        "continued part of a name with a newline.mp3",
    };
    std::string listing, expected;
    for (const auto& line : lines) {
        listing += line + "\n";
        expected += "Ignoring listing line " + line + " -- not under " + lib + "\n";
    }
    list(listing);
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(log.text(), expected + kEmptySummary);
    EXPECT_EQ(runner.commands.size(), 1u);
    EXPECT_EQ(test::read_file(dir / "outside me.mp3"), "not ours");
}

TEST_F(Walk, RenamedEntriesAreConvertedUnderTheirNewName) {
    test::write_file(lib + "/Hold Music.mp3", "mp3");
    list(lib + "/Hold Music.mp3\n");
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(log.text(), "Changed " + lib + "/Hold Music.mp3 => " + lib + "/Hold_Music.mp3\n" +
                              converts_of("Hold_Music") +
                              "Found and converted 1 mp3 files\nCHanged name of 1 files\n"
                              "Now, to the db....\n");
    EXPECT_TRUE(test::exists(lib + "/Hold_Music.mp3"));
}

TEST_F(Walk, FailedRenameSkipsTheEntryAndIsNotCounted) {
    test::write_file(lib + "/Hold Music.mp3", "mp3");  // listed but rename target exists
    test::write_file(lib + "/Hold_Music.mp3", "other");
    list(lib + "/Hold Music.mp3\n");
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(log.text(), "Couldn't rename " + lib + "/Hold Music.mp3 => " + lib +
                              "/Hold_Music.mp3: File exists\n" + kEmptySummary);
    EXPECT_EQ(runner.commands.size(), 1u) << "nothing may run on the unsafe name";
}

TEST_F(Walk, EveryEntryStartsAtFullVolume) {
    test::write_file(lib + "/a.mp3", "mp3");
    test::write_file(lib + "/b.mp3", "mp3");
    list(lib + "/a.mp3\n" + lib + "/b.mp3\n");
    const auto clipping =
        test::sox_clipping(settings.capture_path, [](int run) { return run == 0; });
    const auto listing = runner.on_run;
    runner.on_run = [&](const std::string& command) {
        listing(command);
        return clipping(command);
    };
    EXPECT_EQ(walk(), 0);
    ASSERT_EQ(runner.commands.size(), 1u + 7u + 6u);
    EXPECT_EQ(runner.commands[8].rfind("sox " + lib + "/b.mp3 ", 0), 0u) << runner.commands[8];
    EXPECT_EQ(runner.commands[9].rfind("sox -v 1 " + lib + "/b.mp3 ", 0), 0u) << runner.commands[9];
}

TEST_F(Walk, OnlyRegularFilesAreConverted) {
    ::mkdir((lib + "/folder.mp3").c_str(), 0755);
    ::mkfifo((lib + "/pipe.mp3").c_str(), 0644);
    ::symlink((lib + "/nowhere").c_str(), (lib + "/dangling.mp3").c_str());
    ::symlink((lib + "/loop.mp3").c_str(), (lib + "/loop.mp3").c_str());
    test::write_file(lib + "/real.mp3", "mp3");
    ::symlink((lib + "/real.mp3").c_str(), (lib + "/linked.mp3").c_str());
    std::string listing, expected;
    for (const auto& [name, reason] : std::initializer_list<std::pair<const char*, const char*>>{
             {"folder", "not a regular file"},
             {"pipe", "not a regular file"},
             {"dangling", "No such file or directory"},
             {"loop", "Too many levels of symbolic links"}}) {
        const std::string path = lib + "/" + name + ".mp3";
        listing += path + "\n";
        expected +=
            "Leave the name " + path + " alone\nNot converting " + path + " -- " + reason + "\n";
    }
    list(listing + lib + "/linked.mp3\n");
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(log.text(), expected + "Leave the name " + lib + "/linked.mp3 alone\n" +
                              converts_of("linked") +
                              "Found and converted 1 mp3 files\nCHanged name of 0 files\n"
                              "Now, to the db....\n");
}

}  // namespace
