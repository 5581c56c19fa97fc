#include "clipping.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support.h"

namespace {

using test::TempDir;

TEST(ClippingCheck, ReadsTheWordAndDeletesTheCapture) {
    using namespace std::string_literals;
    struct Case {
        std::string capture;
        bool clipped;
    };
    const Case cases[] = {
        {"sox WARN rate: rate clipped 3 samples; decrease volume?\n", true},
        {"decreased", true},
        {"ends with decrease", true},
        {"decrease", true},
        {"Decrease volume?", false},
        {"DECREASE", false},
        {"decreas", false},
        {"sox FAIL formats: can't open input file `x.mp3': No such file or directory\n", false},
        {"first\0then decrease"s, false},
        {"decrease\0after"s, true},
        {std::string(100000, 'x') + "decrease", true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        test::write_file(dir / "xxx", c.capture);
        EXPECT_EQ(moh::clipping_reported(dir / "xxx"), c.clipped) << c.capture.substr(0, 60);
        EXPECT_FALSE(test::exists(dir / "xxx")) << c.capture.substr(0, 60);
    }
}

TEST(CaptureVerdict, FindsTheFirstFailureLineOfSox) {
    struct Case {
        std::string capture;
        std::string failure;
    };
    const Case cases[] = {
        {"sox FAIL sox: `/m/a.sln' error writing output file: No space left on device\n",
         "sox FAIL sox: `/m/a.sln' error writing output file: No space left on device"},
        {"sox WARN rate: clipped; decrease volume?\nsox FAIL formats: can't open\nsox FAIL x\n",
         "sox FAIL formats: can't open"},
        {"sox FAIL at the very end", "sox FAIL at the very end"},
        {"not a sox FAIL line\n", ""},
        {"sox WARN only\n", ""},
        {std::string("\0sox FAIL hidden", 16), ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        test::write_file(dir / "xxx", c.capture);
        EXPECT_EQ(moh::read_capture(dir / "xxx").failure, c.failure) << c.capture;
        EXPECT_FALSE(test::exists(dir / "xxx"));
    }
}

TEST(ClippingCheck, NothingToReadIsNoClipping) {
    TempDir dir;
    EXPECT_FALSE(moh::clipping_reported(dir / "xxx"));

    test::write_file(dir / "xxx", "");
    EXPECT_FALSE(moh::clipping_reported(dir / "xxx"));
    EXPECT_FALSE(test::exists(dir / "xxx"));

    ::symlink((dir / "nowhere").c_str(), (dir / "xxx").c_str());
    EXPECT_FALSE(moh::clipping_reported(dir / "xxx"));
    EXPECT_FALSE(test::exists(dir / "xxx")) << "a dangling link stays behind";
}

TEST(ClippingCheck, LinkIsFollowedForReadingButOnlyTheLinkIsDeleted) {
    TempDir dir;
    test::write_file(dir / "target", "decrease volume?");
    ::symlink((dir / "target").c_str(), (dir / "xxx").c_str());
    EXPECT_TRUE(moh::clipping_reported(dir / "xxx"));
    EXPECT_FALSE(test::exists(dir / "xxx"));
    EXPECT_EQ(test::read_file(dir / "target"), "decrease volume?");
}

TEST(ClippingCheck, UnreadableCaptureIsNoClipping) {
    TempDir dir;
    ::mkdir((dir / "xxx").c_str(), 0755);  // a directory reports a size but reads nothing
    EXPECT_FALSE(moh::clipping_reported(dir / "xxx"));
}

}  // namespace
