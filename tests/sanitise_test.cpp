#include "sanitise.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <clocale>
#include <cstring>

#include "fakes.h"

namespace {

using moh::SanitiseResult;
using test::CapturedLog;
using test::TempDir;

TEST(SafeBytes, OnlyAsciiLettersDigitsAndNineSignsAreSafe) {
    std::setlocale(LC_ALL, "C");
    for (int byte = 0; byte < 256; ++byte) {
        const bool expected = byte != 0 && (std::isalnum(byte) || std::strchr("@#%-_=:./", byte));
        EXPECT_EQ(moh::is_safe_byte(static_cast<unsigned char>(byte)), expected) << byte;
    }
}

TEST(SafeBytes, CopyReplacesEachUnsafeByteAndKeepsTheLength) {
    struct Case {
        const char* path;
        const char* safe;
    };
    const Case cases[] = {
        {"/m/Hold Music (1).mp3", "/m/Hold_Music__1_.mp3"},
        {"/m/Caf\xc3\xa9.mp3", "/m/Caf__.mp3"},  // two-byte UTF-8 letter, two underscores
        {"/m/a@b#c%d-e_f=g:h.i.mp3", "/m/a@b#c%d-e_f=g:h.i.mp3"},
        {"/m/$(touch x);`y`&|'\"~+!,\t.mp3", "/m/__touch_x___y__________.mp3"},
        {"/m/\xff\x80\x01.mp3", "/m/___.mp3"},
    };
    for (const auto& c : cases) EXPECT_EQ(moh::sanitised_copy(c.path), c.safe) << c.path;
}

class Sanitiser : public ::testing::Test {
  protected:
    TempDir dir;
    CapturedLog log;

    SanitiseResult sanitise(std::string& path) { return moh::sanitise_path(path, log.log); }
};

TEST_F(Sanitiser, CleanPathIsLeftAlone) {
    test::write_file(dir / "clean.wav", "wav");
    std::string path = dir / "clean.wav";
    EXPECT_EQ(sanitise(path), SanitiseResult::kClean);
    EXPECT_EQ(path, dir / "clean.wav");
    EXPECT_EQ(log.text(), "Leave the name " + (dir / "clean.wav") + " alone\n");
}

TEST_F(Sanitiser, UnsafeNameIsRenamedOnDisk) {
    test::write_file(dir / "Hold Music (1).mp3", "music");
    std::string path = dir / "Hold Music (1).mp3";
    EXPECT_EQ(sanitise(path), SanitiseResult::kRenamed);
    EXPECT_EQ(path, dir / "Hold_Music__1_.mp3");
    EXPECT_EQ(test::read_file(path), "music");
    EXPECT_FALSE(test::exists(dir / "Hold Music (1).mp3"));
    EXPECT_EQ(log.text(), "Changed " + (dir / "Hold Music (1).mp3") + " => " + path + "\n");
}

TEST_F(Sanitiser, CollidingNamesKeepBothFiles) {
    test::write_file(dir / "a b.mp3", "first");
    test::write_file(dir / "a(b.mp3", "second");
    std::string first = dir / "a b.mp3";
    std::string second = dir / "a(b.mp3";
    EXPECT_EQ(sanitise(first), SanitiseResult::kRenamed);
    EXPECT_EQ(sanitise(second), SanitiseResult::kRenameFailed);
    EXPECT_EQ(second, dir / "a(b.mp3") << "the entry must keep its real name";
    EXPECT_EQ(test::read_file(dir / "a_b.mp3"), "first");
    EXPECT_EQ(test::read_file(dir / "a(b.mp3"), "second");
    EXPECT_EQ(log.text(), "Changed " + (dir / "a b.mp3") + " => " + (dir / "a_b.mp3") +
                              "\nCouldn't rename " + (dir / "a(b.mp3") + " => " +
                              (dir / "a_b.mp3") + ": File exists\n");
}

TEST_F(Sanitiser, UnsafeDirectoryPartFailsTheRenameAndKeepsTheFile) {
    ::mkdir((dir / "Xmas songs").c_str(), 0755);
    test::write_file(dir / "Xmas songs/bells.mp3", "bells");
    std::string path = dir / "Xmas songs/bells.mp3";
    EXPECT_EQ(sanitise(path), SanitiseResult::kRenameFailed);
    EXPECT_EQ(test::read_file(dir / "Xmas songs/bells.mp3"), "bells");
    EXPECT_EQ(log.text(), "Couldn't rename " + (dir / "Xmas songs/bells.mp3") + " => " +
                              (dir / "Xmas_songs/bells.mp3") + ": No such file or directory\n");
}

}  // namespace
