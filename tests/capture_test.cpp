// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/capture.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

TEST(ClippingCheck, OnlySoxsOwnWordDecreaseCounts) {
    const std::vector<std::string> paths = {"/var/lib/moh-convert/work/1/decrease.mp3",
                                            "/dev/fd/4"};
    const std::pair<std::string, bool> cases[] = {
        {"sox WARN rate: rate clipped 3 samples; decrease volume?\n", true},
        {"decreased", true},
        {"ends with decrease", true},
        {"Decrease volume?", false},
        {"decreas", false},
        {"first\0then decrease"s, false},
        {"decrease\0after"s, true},
        {std::string(100000, 'x') + "\ndecrease", true},
        {"sox WARN mp3: `/var/lib/moh-convert/work/1/decrease.mp3': MAD lost sync\n", false},
        {"sox FAIL formats: can't open input file `/var/lib/moh-convert/work/1/decrease.mp3'\n",
         false},
        {"`/var/lib/moh-convert/work/1/decrease.mp3': clipped 2 samples; decrease volume?\n", true},
    };
    for (const auto& [capture, clipped] : cases) {
        EXPECT_EQ(moh::clipping_reported(capture, paths), clipped) << capture.substr(0, 70);
    }
}

TEST(CaptureVerdict, FindsTheFirstFailureLineWhateverThePiecesItCameIn) {
    const std::string capture =
        "sox WARN rate: clipped; decrease volume?\nsox FAIL formats: can't open\nsox FAIL x\n";
    for (const std::size_t piece : {1u, 7u, 4096u}) {
        moh::CaptureScanner scanner;
        for (std::size_t at = 0; at < capture.size(); at += piece) {
            scanner.feed(std::string_view(capture).substr(at, piece));
        }
        const moh::CaptureVerdict verdict = scanner.finish();
        EXPECT_TRUE(verdict.clipped) << piece;
        EXPECT_EQ(verdict.failure, "sox FAIL formats: can't open") << piece;
        EXPECT_EQ(verdict.first_line, "sox WARN rate: clipped; decrease volume?") << piece;
    }
}

TEST(CaptureVerdict, EndlessOutputIsHeldToOneLine) {
    moh::CaptureScanner scanner;
    scanner.feed("sox FAIL ");
    for (int i = 0; i < 10000; ++i) scanner.feed(std::string(1000, 'x'));
    scanner.feed(" decrease\n");
    const moh::CaptureVerdict verdict = scanner.finish();
    EXPECT_EQ(verdict.failure.size(), moh::CaptureScanner::kLineLimit);
    EXPECT_FALSE(verdict.clipped) << "a word past the line limit was read";
}

}  // namespace
