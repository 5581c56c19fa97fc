// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/sanitise.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <clocale>
#include <cstring>

#include "library/sources.h"

namespace {

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

TEST(Mp3Names, EndInMp3WhateverTheCase) {
    for (const char* name : {"a.mp3", "a.MP3", "a.Mp3", ".mp3", "x.wav.mP3"}) {
        EXPECT_TRUE(moh::is_mp3_name(name)) << name;
    }
    for (const char* name : {"mp3", "a.mp3.wav", "a.mp", "a_mp3", "a.mp3 "}) {
        EXPECT_FALSE(moh::is_mp3_name(name)) << name;
    }
}

}  // namespace
