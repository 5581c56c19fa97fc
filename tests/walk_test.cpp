// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "fakes.h"
#include "library/listing.h"
#include "library/update_record.h"

namespace {

constexpr const char* kEmptySummary =
    "Found and converted 0 mp3 files\nCHanged name of 0 files\nNow, to the db....\n";

std::string summary(int converted, int renamed) {
    return "Found and converted " + std::to_string(converted) + " mp3 files\nCHanged name of " +
           std::to_string(renamed) + " files\nNow, to the db....\n";
}

TEST(ListingCommand, ListsAudioAndMp3sOfAnyCaseAndHiddenFoldersDownTo32LevelsInTheOpenedLibrary) {
    const moh::Child find = moh::listing_command(moh::fixed_settings(), 7);
    EXPECT_EQ(find.dir, 7);
    EXPECT_EQ(moh::command_line(find),
              "find . -maxdepth 32 -mindepth 1 '(' -type d -name '.*' -prune -o -iname '*.mp3' "
              "-o -iname '*.flac' -o -iname '*.ogg' -o -iname '*.oga' -o -iname '*.opus' -o "
              "-iname '*.aiff' -o -iname '*.aif' -o -iname '*.mp2' -o -iname '*.m4a' -o -iname "
              "'*.aac' -o -iname '*.wma' -o -name '*.ulaw' -o -name "
              "'*.alaw' -o -name '*.gsm' -o -name '*.wav' -o -name '*.WAV' -o -name '*.' ')' "
              "-printf '/home/services/asterisk/var/lib/asterisk/mohmp3/%P\\n'");
    // find's own escapes in the library's path are printed as they stand.
    moh::Settings odd = moh::fixed_settings();
    odd.library_dir = "/srv/100%\\moh";
    EXPECT_EQ(moh::listing_command(odd, 7).argv.back(), "/srv/100%%\\\\moh/%P\\n");
}

TEST(LibraryEntries, OnlyPathsInsideTheLibraryCount) {
    using namespace std::string_literals;
    const std::string lib = "/srv/moh";
    const std::pair<std::string, bool> cases[] = {
        {"/srv/moh/a.mp3", true},
        {"/srv/moh/sub/dir/a b.wav", true},
        {"/srv/moh/..a.mp3", true},
        {"/srv/moh", false},
        {"/srv/moh/", false},
        {"/srv/moh2/a.mp3", false},
        {"/srv/moh/../etc/a.mp3", false},
        {"/srv/moh/sub/..", false},
        {"/srv/moh/./a.mp3", false},
        {"/srv/moh//a.mp3", false},
        {"find: '/srv/moh': Permission denied", false},
        {"/srv/moh/a\0.mp3"s, false},
    };
    for (const auto& [line, inside] : cases) {
        EXPECT_EQ(moh::is_library_entry(line, lib), inside) << line;
    }
}

class Walk : public ::testing::Test, protected test::FakeRun {
  protected:
    // A .wav that plays as it is, unless given content.
    void touch(const std::string& name, const std::string& content = "") {
        const bool wav = name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0;
        test::write_file(lib + "/" + name, !content.empty() ? content
                                           : wav            ? test::kPlayableWav
                                                            : "mp3");
    }
    void make_dir(const std::string& name) { ::mkdir((lib + "/" + name).c_str(), 0755); }
};

TEST_F(Walk, CleanMp3AndWavGiveTheirLinesAndTheMp3ItsOutputs) {
    touch("a.mp3");
    touch("a.wav");
    list({"a.mp3", "a.wav"});
    EXPECT_EQ(walk().status, 0);
    EXPECT_EQ(log.text(), "Leave the name " + lib + "/a.mp3 alone\n" + test::converts_of("a") +
                              "Leave the name " + lib + "/a.wav alone\n" +
                              "skipping non-mp3 file conversion of a.wav-- must already be "
                              "asterisk compatible!\n" +
                              summary(1, 0));
    ASSERT_EQ(runner.commands.size(), 3u + 3u + 6u);
    EXPECT_EQ(std::count(runner.commands.begin(), runner.commands.end(),
                         "sox -R " + settings.work_dir + "/1/a.mp3 -c 1 -t sox /dev/fd/4"),
              1);
    EXPECT_EQ(runner.commands.back(), settings.converter_path + " " + settings.work_dir +
                                          "/1/a.sln16 " + settings.work_dir + "/1/a.g722");
    EXPECT_EQ(test::read_file(lib + "/a.sln"), "sox output");
    EXPECT_EQ(test::read_file(lib + "/a.g722"), "g722 output");
    EXPECT_FALSE(test::exists(settings.work_dir)) << "the private paths outlive the run";
    EXPECT_EQ(test::read_file(settings.listing_path), runner.listing);
}

TEST_F(Walk, MissingLibraryOrListingEndsWithStatus20) {
    list({});
    EXPECT_EQ(walk().status, 0);
    EXPECT_EQ(log.text(), kEmptySummary);

    ::rmdir(lib.c_str());
    EXPECT_EQ(walk().status, 20);
    EXPECT_EQ(log.text(), kEmptySummary + ("Couldn't open the library " + lib +
                                           ": No such file or directory\n"));

    make_dir("");
    runner.on_run = [](const moh::Child&, const moh::OutputSink&) { return moh::ChildResult{9}; };
    EXPECT_EQ(walk().status, 20);
    EXPECT_NE(log.text().find("Couldn't write the listing " + settings.listing_path +
                              ": find killed by signal 9\n"),
              std::string::npos);
}

TEST_F(Walk, ListingIsNeverWrittenThroughWhatStandsAtItsPath) {
    test::write_file(dir / "victim", "precious");
    ASSERT_EQ(::symlink((dir / "victim").c_str(), settings.listing_path.c_str()), 0);
    touch("a.wav");
    list({"a.wav"});
    const std::string run_log = "Leave the name " + lib + "/a.wav alone\nskipping non-mp3 file " +
                                "conversion of a.wav-- must already be asterisk compatible!\n" +
                                kEmptySummary;
    EXPECT_EQ(walk().status, 0);
    EXPECT_EQ(test::read_file(dir / "victim"), "precious");
    EXPECT_EQ(test::read_file(settings.listing_path), runner.listing);

    // Someone else's directory there, which is not ours to empty, does not stop the run either.
    ::unlink(settings.listing_path.c_str());
    ::mkdir(settings.listing_path.c_str(), 0755);
    test::write_file(settings.listing_path + "/keep", "");
    EXPECT_EQ(walk().status, 0);
    EXPECT_EQ(log.text(), run_log + run_log);
}

TEST_F(Walk, LinesThatNameNothingHereAreIgnoredWithTheirReason) {
    test::write_file(dir / "outside.mp3", "not ours");
    ::mkdir((dir / "elsewhere").c_str(), 0755);
    test::write_file(dir / "elsewhere/jingle.mp3", "not ours");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (lib + "/evil").c_str()), 0);
    runner.listing = "find: '" + lib + "/locked': Permission denied\n" + dir / "outside.mp3\n" +
                     lib + "/../outside.mp3\n" + lib + "/ghost.mp3\n" + lib +
                     "/evil/jingle.mp3\nx\n";
    EXPECT_EQ(walk().status, 1);
    const std::string outside = " -- not under " + lib + "\n";
    EXPECT_EQ(log.text(), "Ignoring listing line find: '" + lib + "/locked': Permission denied" +
                              outside + "Ignoring listing line " + dir / "outside.mp3" + outside +
                              "Ignoring listing line " + lib + "/../outside.mp3" + outside +
                              "Ignoring listing line " + lib +
                              "/ghost.mp3 -- no such file or directory\n"
                              "Ignoring listing line " +
                              lib + "/evil/jingle.mp3 -- through a link\n" + kEmptySummary);
    EXPECT_EQ(runner.commands.size(), 3u) << "something ran for a line outside the library";
}

TEST_F(Walk, NameWithANewlineIsPiecedTogetherAndRenamed) {
    touch("Hold\nLine.mp3");
    touch("b.wav");
    // The first line of each name names something that find did not list.
    touch("Song");
    touch("Song\nB.mp3");
    make_dir("Jazz");
    touch("Jazz\nHits.mp3");
    runner.listing = lib + "/Hold\nLine.mp3\n" + lib + "/nothing\n" + lib + "/b.wav\n" + lib +
                     "/Song\nB.mp3\n" + lib + "/Jazz\nHits.mp3\n";
    EXPECT_EQ(walk().status, 1);
    EXPECT_EQ(log.text(), "Changed " + lib + "/Hold\\x0aLine.mp3 => " + lib + "/Hold_Line.mp3\n" +
                              test::converts_of("Hold_Line") + "Ignoring listing line " + lib +
                              "/nothing -- no such file or directory\nLeave the name " + lib +
                              "/b.wav alone\nskipping non-mp3 file conversion of b.wav-- must "
                              "already be asterisk compatible!\nChanged " +
                              lib + "/Song\\x0aB.mp3 => " + lib + "/Song_B.mp3\n" +
                              test::converts_of("Song_B") + "Changed " + lib +
                              "/Jazz\\x0aHits.mp3 => " + lib + "/Jazz_Hits.mp3\n" +
                              test::converts_of("Jazz_Hits") + summary(3, 3));
    EXPECT_EQ(test::read_file(lib + "/Hold_Line.ulaw"), "sox output");
}

TEST_F(Walk, FoldersKeepTheirNamesAndTheirFilesAreRenamedWithin) {
    // musiconhold.conf names a class by its folder: renaming one silences the class.
    make_dir("Sales Queue");
    make_dir("Sales Queue/C D");
    touch("Sales Queue/C D/x y.mp3");
    touch("Sales Queue/z.mp3");
    make_dir("Jazz Hits.wav");
    touch("Jazz Hits.wav/j.mp3");
    // A writer's folder name reaches the log: it must neither act on a terminal nor add lines.
    // C1 controls too, in UTF-8, as lone bytes and overlong; a letter of UTF-8 stays as it is.
    const std::string forged =
        "\033]0;owned\a\r\033[2JX\xe0\x82\x85\xc2\x9b"
        "2J\x9b\xc3\xa9\nFound and "
        "converted 0 mp3 files\n\\";
    make_dir(forged);
    touch(forged + "/k.mp3");
    list({"Sales Queue/C D/x y.mp3", "Sales Queue/z.mp3", "Jazz Hits.wav", "Jazz Hits.wav/j.mp3",
          forged + "/k.mp3"});
    EXPECT_EQ(walk().status, 0);
    const std::string l = lib + "/";
    EXPECT_EQ(log.text(),
              "Changed " + l + "Sales Queue/C D/x y.mp3 => " + l + "Sales Queue/C D/x_y.mp3\n" +
                  test::converts_of("x_y") + "Leave the name " + l + "Sales Queue/z.mp3 alone\n" +
                  test::converts_of("z") + "Leave the name " + l +
                  "Jazz Hits.wav alone\nskipping non-mp3 file conversion of Jazz "
                  "Hits.wav-- must already be asterisk compatible!\nLeave the name " +
                  l + "Jazz Hits.wav/j.mp3 alone\n" + test::converts_of("j") + "Leave the name " +
                  l +
                  "\\x1b]0;owned\\x07\\x0d\\x1b["
                  "2JX\xe0\\x82\\x85\\xc2\\x9b2J\\x9b\xc3\xa9\\x0aFound and converted 0 "
                  "mp3 files\\x0a\\\\" +
                  "/k.mp3 alone\n" + test::converts_of("k") + summary(4, 1));
    EXPECT_EQ(test::read_file(l + "Sales Queue/C D/x_y.gsm"), "sox output");
}

TEST_F(Walk, RenamesNeverReplaceAFileNorTakeAConversionsOutput) {
    touch("a b.mp3", "first");
    touch("a(b.mp3", "second");
    touch("c d.mp3");
    touch("c d.ulaw", "mine");
    list({"a b.mp3", "a(b.mp3", "c d.ulaw", "c d.mp3"});
    EXPECT_EQ(walk().status, 1);
    const std::string l = lib + "/";
    EXPECT_EQ(log.text(),
              "Changed " + l + "a b.mp3 => " + l + "a_b.mp3\n" + test::converts_of("a_b") +
                  "Changed " + l + "a(b.mp3 => " + l + "a_b_2.mp3\n" + test::converts_of("a_b_2") +
                  "Couldn't rename " + l + "c d.ulaw => " + l +
                  "c_d.ulaw: the name is taken by the conversion of c_d.mp3\n" + "Changed " + l +
                  "c d.mp3 => " + l + "c_d.mp3\n" + test::converts_of("c_d") + summary(3, 3));
    EXPECT_EQ(test::read_file(l + "a_b.mp3"), "first");
    EXPECT_EQ(test::read_file(l + "a_b_2.mp3"), "second");
    EXPECT_EQ(test::read_file(l + "c d.ulaw"), "mine");

    // A new upload under a name this command renamed takes the earlier one's place, numbered or
    // not.
    touch("a b.mp3", "re-upload");
    touch("a(b.mp3", "second re-upload");
    list({"a b.mp3", "a(b.mp3"});
    const std::size_t before = log.text().size();
    walk();
    EXPECT_EQ(log.text().substr(before),
              "Changed " + l + "a b.mp3 => " + l + "a_b.mp3 (replacing the earlier upload)\n" +
                  test::converts_of("a_b") + "Changed " + l + "a(b.mp3 => " + l +
                  "a_b_2.mp3 (replacing the earlier upload)\n" + test::converts_of("a_b_2") +
                  summary(2, 2));
    EXPECT_EQ(test::read_file(l + "a_b.mp3"), "re-upload");
    EXPECT_EQ(test::read_file(l + "a_b_2.mp3"), "second re-upload");
    EXPECT_FALSE(test::exists(l + "a b.mp3"));
    touch("a b.mp3", "third");
    touch("a_b.mp3", "edited by hand");
    list({"a b.mp3"});
    walk();
    EXPECT_EQ(test::read_file(l + "a_b.mp3"), "edited by hand");
    EXPECT_EQ(test::read_file(l + "a_b_3.mp3"), "third");
}

TEST_F(Walk, OtherSourcesOwnTheOutputNamesOfTheirStemAsMp3sDo) {
    touch("c d.ulaw", "mine");
    touch("c d.flac");
    touch("w.ulaw", "OggS");
    touch("w.flac");
    list({"c d.ulaw", "c d.flac", "w.ulaw", "w.flac"});
    EXPECT_EQ(walk().status, 1);
    const std::string l = lib + "/";
    EXPECT_EQ(log.text(),
              "Couldn't rename " + l + "c d.ulaw => " + l +
                  "c_d.ulaw: the name is taken by the conversion of c_d.flac\nChanged " + l +
                  "c d.flac => " + l + "c_d.flac\n" + test::converts_of("c_d") + "Leave the name " +
                  l +
                  "w.ulaw alone\nskipping non-mp3 file conversion of w.ulaw-- must "
                  "already be asterisk compatible!\nLeave the name " +
                  l + "w.flac alone\n" + test::converts_of("w") +
                  "Found and converted 0 mp3 files\nConverted 2 files Asterisk could "
                  "not play\nCHanged name of 1 files\nNow, to the db....\n");
}

TEST_F(Walk, OnlyRegularFilesInsideTheLibraryAreConvertedWhateverTheCaseOfMp3) {
    make_dir("folder.mp3");
    ::mkfifo((lib + "/pipe.mp3").c_str(), 0644);
    ASSERT_EQ(::symlink((lib + "/nowhere").c_str(), (lib + "/dangling.mp3").c_str()), 0);
    test::write_file(dir / "voicemail.wav", "secret");
    ASSERT_EQ(::symlink((dir / "voicemail.wav").c_str(), (lib + "/leak.mp3").c_str()), 0);
    touch("real.mp3");
    ASSERT_EQ(::symlink("real.mp3", (lib + "/relative.mp3").c_str()), 0);
    ASSERT_EQ(::symlink((lib + "/real.mp3").c_str(), (lib + "/absolute.Mp3").c_str()), 0);
    touch("x.mp3.wav");
    ASSERT_EQ(::truncate((lib + "/holes.mp3").c_str(), 0), -1);
    test::write_file(lib + "/holes.mp3", "");
    ASSERT_EQ(::truncate((lib + "/holes.mp3").c_str(), off_t{1} << 40), 0);
    // A writer's link leads only to the writer's own files.
    constexpr uid_t kWriter = 65534;
    ASSERT_EQ(::symlink("real.mp3", (lib + "/theirs.mp3").c_str()), 0);
    ASSERT_EQ(::lchown((lib + "/theirs.mp3").c_str(), kWriter, kWriter), 0);
    touch("writers.data");
    ASSERT_EQ(::chown((lib + "/writers.data").c_str(), kWriter, kWriter), 0);
    ASSERT_EQ(::symlink("writers.data", (lib + "/own.mp3").c_str()), 0);
    ASSERT_EQ(::lchown((lib + "/own.mp3").c_str(), kWriter, kWriter), 0);
    touch("twin.mp3");
    touch("twin.MP3");
    touch("._x.mp3");
    std::string expected;
    for (const auto& [name, reason] : std::initializer_list<std::pair<const char*, const char*>>{
             {"folder.mp3", "not a regular file"},
             {"pipe.mp3", "not a regular file"},
             {"dangling.mp3", "No such file or directory"},
             {"leak.mp3", "the link leads outside the library"},
             {"holes.mp3", "a sparse file"},
             {"theirs.mp3", "a link to a file its owner does not own"},
             {"twin.mp3", "twin.MP3 beside it is converted to the same names"}}) {
        expected += "Leave the name " + lib + "/" + name + " alone\nNot converting " + lib + "/" +
                    name + " -- " + reason + "\n";
    }
    list({"folder.mp3", "pipe.mp3", "dangling.mp3", "leak.mp3", "holes.mp3", "theirs.mp3",
          "twin.mp3", "relative.mp3", "absolute.Mp3", "x.mp3.wav", "._x.mp3", "own.mp3",
          "twin.MP3"});
    EXPECT_EQ(walk().status, 1);
    EXPECT_EQ(log.text(), expected + "Leave the name " + lib + "/relative.mp3 alone\n" +
                              test::converts_of("relative") + "Leave the name " + lib +
                              "/absolute.Mp3 alone\n" + test::converts_of("absolute") +
                              "Leave the name " + lib +
                              "/x.mp3.wav alone\nskipping non-mp3 file conversion of x.mp3.wav-- "
                              "must already be asterisk compatible!\nLeave the hidden file " +
                              lib + "/._x.mp3 alone\nLeave the name " + lib + "/own.mp3 alone\n" +
                              test::converts_of("own") + "Leave the name " + lib +
                              "/twin.MP3 alone\n" + test::converts_of("twin") + summary(4, 0));
    EXPECT_FALSE(test::exists(lib + "/leak.ulaw"));
    EXPECT_FALSE(test::exists(lib + "/theirs.ulaw"));
}

TEST_F(Walk, ToolsThatCannotConvertAreReportedOnceAndRenamesGoOn) {
    touch("a b.mp3");
    touch("c.mp3");
    list({"a b.mp3", "c.mp3"});
    runner.on_run = [&](const moh::Child& child, const moh::OutputSink& output) {
        if (child.argv.size() == 2 && child.argv[1] == "-h") {
            output("AUDIO FILE FORMATS: wav flac\n");
            return moh::ChildResult{};
        }
        return runner.play(child, output);
    };
    EXPECT_EQ(walk().status, 1);
    EXPECT_EQ(log.text(),
              "sox cannot convert MP3 here: its list of formats has no mp3; no MP3 is "
              "converted this run\nChanged " +
                  lib + "/a b.mp3 => " + lib + "/a_b.mp3\nLeave the name " + lib +
                  "/c.mp3 alone\n" + summary(0, 1));

    runner.on_run = nullptr;
    ::unlink(settings.converter_path.c_str());
    list({"c.mp3"});
    EXPECT_EQ(walk().status, 1);
    const std::string text = log.text();
    EXPECT_NE(text.find("The G.722 converter " + settings.converter_path +
                        " cannot be run: No such file or directory; no .g722 is made this run\n"),
              std::string::npos);
    EXPECT_EQ(std::count(runner.commands.begin(), runner.commands.end(),
                         settings.converter_path + " " + settings.work_dir + "/1/c.sln16 " +
                             settings.work_dir + "/1/c.g722"),
              0);
}

TEST_F(Walk, DeepLibraryIsReported) {
    using namespace std::string_literals;
    touch("a.wav");
    list({"a.wav"});
    runner.on_run = [&](const moh::Child& child, const moh::OutputSink& output) {
        if (child.argv.size() > 2 && child.argv[2] == "-mindepth")
            output(lib + "/d1/d2/deeper\0more"s);
        return runner.play(child, output);
    };
    EXPECT_EQ(walk().status, 1);
    EXPECT_EQ(log.text().substr(0, log.text().find('\n') + 1),
              "Not descending below 32 levels: " + lib + "/d1/d2\n");
}

}  // namespace

namespace {

// The options, against the same library: what each changes and what it must leave alone.
class Options : public Walk {
  protected:
    void SetUp() override {
        make_dir("A B");
        touch("A B/x y.mp3");
        touch("a b.mp3");
        touch("a(b.mp3");
        touch("c.mp3");
        touch("d e.wav");
        runner.real_find = true;
    }
    // Names, kinds, sizes and times of everything in the library.
    std::string tree() const {
        return test::run_shell("cd '" + lib + "' && find . -printf '%p %y %s %T@ %C@\\n' | sort")
            .output;
    }
    // The log with every "Would " in place of the real run's words.
    static std::string as_real(std::string text) {
        for (const auto& [from, to] :
             {std::pair<std::string, std::string>{"Would change the names of ", "CHanged name of "},
              {"Would change ", "Changed "},
              {"Would convert 4 mp3 files", "Found and converted 4 mp3 files"}}) {
            for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
                text.replace(at, from.size(), to);
            }
        }
        return text;
    }
    // The stems a run converted, as its log says.
    std::vector<std::string> converted_by(const std::string& text) const {
        std::vector<std::string> stems;
        for (std::size_t at = text.find("Convert "); at != std::string::npos;
             at = text.find("Convert ", at + 1)) {
            const auto end = text.find(" to ulaw\n", at);
            if (end != std::string::npos && text.find('\n', at) > end) {
                stems.push_back(text.substr(at + 8, end - at - 8));
            }
        }
        return stems;
    }
};

TEST_F(Options, DryRunChangesNothingAndForeseesTheRealRun) {
    const std::string before = tree();
    options.dry_run = true;
    ASSERT_EQ(walk().status, 0) << "a dry run that foresees no problem is not one";
    const std::string foreseen = log.text();
    EXPECT_EQ(tree(), before);
    EXPECT_EQ(runner.commands.size(), 3u) << "a dry run ran more than find and sox -h";
    EXPECT_FALSE(test::exists(settings.work_dir));

    test::CapturedLog real_log;
    options.dry_run = false;
    ASSERT_EQ(moh::run_walk({settings, options, real_log.log, runner}).status, 0);
    std::string real = real_log.text();
    // The real run converts where the dry run said it would.
    std::string expected = as_real(foreseen);
    for (const char* stem : {"x_y", "a_b", "a_b_2", "c"}) {
        const std::string would = "Would convert " + lib + "/" +
                                  (std::string(stem) == "x_y" ? "A B/" : "") + stem + ".mp3\n";
        expected.replace(expected.find(would), would.size(), test::converts_of(stem));
    }
    EXPECT_EQ(real, expected);
}

TEST_F(Options, QuietRunPrintsOnlyWhatNeedsALook) {
    test::CapturedLog quiet(true);
    runner.on_run = [&](const moh::Child& child, const moh::OutputSink& output) {
        if (moh::command_line(child).find("/c.mp3 -c 1") != std::string::npos) {
            output("sox FAIL formats: corrupt\n");
            return test::exited(2);
        }
        return runner.play(child, output);
    };
    ASSERT_EQ(moh::run_walk({settings, options, quiet.log, runner}).status, 1);
    EXPECT_EQ(quiet.text(),
              "Command failed with exit status 2: sox -R " + settings.work_dir +
                  "/4/c.mp3 -c 1 -t sox /dev/fd/4\n  converting " + lib +
                  "/c.mp3 to ulaw\n  sox said: sox FAIL formats: corrupt\n  the other formats of " +
                  lib + "/c.mp3 are not made either\n");
    runner.on_run = nullptr;
    ::unlink((lib + "/a(b.mp3").c_str());
    test::CapturedLog clean(true);
    const int clean_status = moh::run_walk({settings, options, clean.log, runner}).status;
    EXPECT_EQ(clean_status, 0) << clean.text();
    EXPECT_EQ(clean.text(), "");
}

TEST_F(Options, UpdateConvertsExactlyWhatIsNoLongerCurrent) {
    options.update = true;
    bool fail_c = false;
    bool rewrite_c = false;
    runner.on_run = [&](const moh::Child& child, const moh::OutputSink& output) {
        if (fail_c && moh::command_line(child).find("/c.mp3 ") != std::string::npos) {
            return test::exited(2);
        }
        // Its writer rewrites it while it is converted: the outputs mix old and new. (Only its
        // decoding's thread looks at the flag.)
        if (moh::command_line(child).find("/c.mp3 ") != std::string::npos && rewrite_c) {
            rewrite_c = false;
            test::write_file(lib + "/c.mp3", "rewritten");
        }
        return runner.play(child, output);
    };
    const auto run_converting = [&] {
        const std::size_t before = log.text().size();
        walk();
        return converted_by(log.text().substr(before));
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(run_converting(), (Names{"x_y", "a_b", "a_b_2", "c"})) << "no record: everything";
    const std::size_t quiet_from = log.text().size();
    EXPECT_EQ(run_converting(), Names{}) << log.text();
    // A current source and its outputs need nothing, and say nothing.
    const std::string quiet = log.text().substr(quiet_from);
    EXPECT_EQ(quiet.find(lib + "/c."), std::string::npos) << quiet;
    EXPECT_NE(quiet.find("\n4 sources up to date\n"), std::string::npos) << quiet;
    // A chmod changes the change time alone: the bytes say it is the same, and nothing is read
    // again after the record is refreshed.
    ASSERT_EQ(::chmod((lib + "/c.mp3").c_str(), 0640), 0);
    ASSERT_EQ(::chmod((lib + "/a_b.sln").c_str(), 0640), 0);
    // Asterisk's account, named, is told every run of what it cannot read.
    ::mkdir(settings.asterisk_dir.c_str(), 0755);
    test::write_file(settings.asterisk_dir + "/asterisk.conf", "[options]\nrunuser=daemon\n");
    const std::size_t unreadable_from = log.text().size();
    EXPECT_EQ(run_converting(), Names{});
    EXPECT_NE(log.text().find("Not readable by daemon: " + lib +
                                  "/a_b.sln -- mode 0640, owner root, group root\n",
                              unreadable_from),
              std::string::npos);
    ::unlink((settings.asterisk_dir + "/asterisk.conf").c_str());

    // Replaced with an older time stamp, as cp -p would.
    test::write_file(lib + "/c.mp3", "new");
    ASSERT_EQ(test::run_shell("touch -d 2001-01-01 '" + lib + "/c.mp3'").status, 0);
    EXPECT_EQ(run_converting(), Names{"c"});
    ASSERT_EQ(::truncate((lib + "/a_b.sln").c_str(), 2), 0);
    ::unlink((lib + "/A B/x_y.g722").c_str());
    EXPECT_EQ(run_converting(), (Names{"x_y", "a_b"}));
    // Stopped at its first conversion, a run keeps what it knew of the rest.
    ::unlink((lib + "/A B/x_y.g722").c_str());
    bool interrupt = true;
    const auto play = runner.on_run;
    runner.on_run = [&](const moh::Child& child, const moh::OutputSink& output) {
        if (interrupt && child.argv[0] == "sox" && child.argv[1] != "-h")
            return moh::ChildResult{9, false, true};
        return play(child, output);
    };
    EXPECT_TRUE(walk().interrupted);
    interrupt = false;
    EXPECT_EQ(run_converting(), Names{"x_y"});
    fail_c = true;
    test::write_file(lib + "/c.mp3", "newer");
    EXPECT_EQ(run_converting(), Names{"c"});
    fail_c = false;
    EXPECT_EQ(run_converting(), Names{"c"}) << "a failed conversion counted as current";
    test::write_file(lib + "/c.mp3", "newest");
    rewrite_c = true;
    EXPECT_EQ(run_converting(), Names{"c"});
    EXPECT_EQ(run_converting(), Names{"c"}) << "an MP3 rewritten during its conversion is current";
    test::write_file(settings.converter_path, "another converter");
    EXPECT_EQ(run_converting(), (Names{"x_y", "a_b", "a_b_2", "c"}));
    // A new loudness target, other edges, or more formats, is another conversion.
    options.level = -23;
    EXPECT_EQ(run_converting(), (Names{"x_y", "a_b", "a_b_2", "c"}));
    EXPECT_EQ(run_converting(), Names{});
    options.seamless = true;
    EXPECT_EQ(run_converting(), (Names{"x_y", "a_b", "a_b_2", "c"}));
    options.extra_formats = {"sln48"};
    EXPECT_EQ(run_converting(), (Names{"x_y", "a_b", "a_b_2", "c"}));

    const moh::Fd library(::open(lib.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string record =
        settings.state_dir + "/" + moh::UpdateRecord::file_name(library.get());
    test::write_file(record, "garbage");
    EXPECT_EQ(run_converting().size(), 4u);
    EXPECT_NE(log.text().find("Couldn't use the update record " + record +
                              ": corrupt; converting everything\n"),
              std::string::npos);
    // The previous version's record, by its old name: read once, its renames kept.
    ::unlink(record.c_str());
    test::write_file(settings.state_dir + "/record",
                     "moh-convert update record 2\nrecipe 0\nrenamed\t1:2/a_b.mp3\t6128\t"
                     "1:2:3:4:5:6:7\n");
    EXPECT_EQ(run_converting().size(), 4u);
    EXPECT_NE(log.text().find("The update record " + settings.state_dir +
                              "/record is of the previous version, which kept no digests; "
                              "converting everything once\n"),
              std::string::npos);
    EXPECT_NE(test::read_file(record).find("\nearlier\t1:2/a_b.mp3\t6128\t1:2:3:4:5:6:7\n"),
              std::string::npos);
    EXPECT_EQ(::access((settings.state_dir + "/record").c_str(), F_OK), -1);
    // The first version renamed folders: a class that still names the old one is said once.
    ::unlink(record.c_str());
    make_dir("Sales_Queue");
    test::write_file(
        settings.state_dir + "/record",
        "moh-convert update record 1\nrecipe 0\nSales_Queue/a.mp3\tX\nA_B/x_y.mp3\tX\n");
    ::mkdir(settings.asterisk_dir.c_str(), 0755);
    test::write_file(
        settings.asterisk_dir + "/musiconhold.conf",
        "[sales]\ndirectory=" + lib + "/Sales Queue\n[a]\ndirectory=" + lib + "/A B\n");
    const std::string renamed = "The folder " + lib + "/Sales Queue was renamed to " + lib +
                                "/Sales_Queue by version 0.1.0; musiconhold.conf may still name " +
                                lib + "/Sales Queue\n";
    for (const int times : {1, 0}) {
        const std::size_t before = log.text().size();
        walk();
        const std::string said = log.text().substr(before);
        EXPECT_EQ(said.find(renamed) != std::string::npos, times == 1) << said;
        EXPECT_EQ(said.find("/record is of the first version, which knew sources by their paths; "
                            "converting everything once\n") != std::string::npos,
                  times == 1)
            << said;
        EXPECT_EQ(said.find("was renamed to " + lib + "/A_B"), std::string::npos) << said;
    }
}

TEST_F(Options, JobsPrintTheLogOfOneJobAndReloadFollowsAChange) {
    touch("loud.mp3");
    touch("loud.MP3");  // the same outputs: never converted side by side
    std::atomic<int> side_by_side{0}, most{0};
    bool fail_c = true;
    bool fail_c_wholly = false;
    runner.on_run = [&](const moh::Child& child, const moh::OutputSink& output) {
        const std::string line = moh::command_line(child);
        if (fail_c_wholly && line.find("/c.mp3 ") != std::string::npos) return test::exited(2);
        // The commands that write outputs: of one MP3, one at a time.
        if (child.argv[0] == "sox" && line.find("/loud.8k ") != std::string::npos) {
            most = std::max(most.load(), ++side_by_side);
            if (line.find("-v 0.") == std::string::npos) output(test::kClippingMessage);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            --side_by_side;
        }
        if (fail_c && line.find("/c.8k -t al") != std::string::npos) {
            return test::exited(1);
        }
        if (child.argv[0] == "sox")
            std::this_thread::sleep_for(std::chrono::milliseconds(line.size() % 7));
        return runner.play(child, output);
    };
    options.reload = true;
    ASSERT_EQ(walk().status, 1);
    const std::string one_job = log.text();
    EXPECT_NE(one_job.find("Volume appears to be too high"), std::string::npos);
    EXPECT_EQ(
        std::count(runner.commands.begin(), runner.commands.end(), "asterisk -rx 'moh reload'"), 1);

    // The same library again, as it was.
    std::filesystem::remove_all(lib);
    make_dir("");
    SetUp();
    touch("loud.mp3");
    touch("loud.MP3");
    test::CapturedLog four_jobs;
    options.jobs = 4;
    runner.commands.clear();
    ASSERT_EQ(moh::run_walk({settings, options, four_jobs.log, runner}).status, 1);
    EXPECT_EQ(four_jobs.text(), one_job);
    EXPECT_EQ(most.load(), 1) << "two jobs wrote the same outputs at once";

    // Nothing left to do: no sox, no reload. Of two MP3s that write the same outputs only the
    // first is converted, so that one stays current.
    options.update = true;
    fail_c = false;
    walk();
    runner.commands.clear();
    ASSERT_EQ(walk().status, 1);
    EXPECT_EQ(std::count_if(runner.commands.begin(), runner.commands.end(),
                            [](const std::string& c) { return c.rfind("sox -R", 0) == 0; }),
              0);
    EXPECT_EQ(
        std::count(runner.commands.begin(), runner.commands.end(), "asterisk -rx 'moh reload'"), 0);
    // A conversion that published nothing changed nothing either.
    test::write_file(lib + "/c.mp3", "changed");
    fail_c_wholly = true;
    runner.commands.clear();
    walk();
    EXPECT_NE(std::count(runner.commands.begin(), runner.commands.end(),
                         "sox -R " + settings.work_dir + "/1/c.mp3 -c 1 -t sox /dev/fd/4"),
              0);
    EXPECT_EQ(
        std::count(runner.commands.begin(), runner.commands.end(), "asterisk -rx 'moh reload'"), 0);
}

}  // namespace
