// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/playable.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "process/fd.h"

namespace {

std::string le(std::uint32_t value, int bytes) {
    std::string text;
    for (int i = 0; i < bytes; ++i) text += static_cast<char>((value >> (8 * i)) & 0xff);
    return text;
}

// A RIFF/WAVE header with a "fmt " chunk of `fmt_size` bytes and then `after` (chunk ids, each
// given a 4-byte chunk of its own).
std::string wav(int tag, int channels, int rate, int bits, int block_align = 2,
                const std::string& after = "data", int fmt_size = 16) {
    std::string fmt = le(tag, 2) + le(channels, 2) + le(rate, 4) + le(rate * block_align, 4) +
                      le(block_align, 2) + le(bits, 2);
    fmt.resize(fmt_size, '\0');
    std::string text = "RIFF" + le(100, 4) + "WAVE" + "fmt " + le(fmt_size, 4) + fmt;
    for (std::size_t at = 0; at + 4 <= after.size(); at += 5) {
        text += after.substr(at, 4) + le(4, 4) + std::string(4, '\0');
    }
    return text;
}

std::string gsm_frames(int count) {
    std::string frame(33, '\x55');
    frame[0] = '\xd3';
    std::string text;
    for (int i = 0; i < count; ++i) text += frame;
    return text;
}

moh::Playability judge(const std::string& name, const std::string& content) {
    const moh::Fd fd(::memfd_create("playable", MFD_CLOEXEC));
    EXPECT_EQ(::write(fd.get(), content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    return moh::judge_playable(name, fd.get());
}

TEST(Playable, EachNameIsJudgedByTheRulesOfItsFormat) {
    struct Case {
        const char* name;
        std::string content;
        bool plays;
        bool convertible;
        const char* reason;
    };
    const std::string cut_gsm = gsm_frames(3).substr(0, 80);
    std::string unsigned_gsm = gsm_frames(3);
    unsigned_gsm[33] = '\x13';
    const std::string tagged = wav(1, 1, 8000, 16, 2, "") + "LIST" + le(8192, 4) +
                               std::string(8192, 't') + "data" + le(4, 4) + std::string(4, '\0');
    const Case cases[] = {
        {"a.wav", wav(1, 1, 8000, 16), true, false, ""},
        {"a.wav", tagged, true, false, ""},
        // Hours of audio from a few bytes: not worth converting.
        {"a.wav", wav(1, 1, 1, 8, 1), false, false, "1 Hz, 1 channel, 8-bit PCM"},
        {"a.wav", wav(1, 2, 44100, 16, 4), false, true, "44100 Hz, 2 channels, 16-bit PCM"},
        {"a.wav", wav(3, 1, 8000, 32, 4), false, true, "8000 Hz, 1 channel, 32-bit float"},
        {"a.wav", wav(1, 1, 16000, 24, 3), false, true, "16000 Hz, 1 channel, 24-bit PCM"},
        {"a.wav", wav(1, 1, 8000, 16, 2, ""), false, true, "8000 Hz, 1 channel, 16-bit PCM"},
        {"a.wav", "ID3\x04 not a wave", false, false, "not a RIFF/WAVE file"},
        {"a.WAV", wav(0x31, 1, 8000, 0, 65, "fact data", 20), true, false, ""},
        {"a.WAV", wav(1, 1, 8000, 16), false, true,
         "8000 Hz, 1 channel, 16-bit PCM; .WAV is read as GSM 6.10"},
        {"a.WAV", wav(0x31, 1, 8000, 0, 65, "data", 20), false, true,
         "8000 Hz, 1 channel, GSM 6.10, not in the layout Asterisk reads"},
        {"a.ulaw", std::string(160, '\xff'), true, false, ""},
        {"a.ulaw", wav(1, 1, 8000, 16), false, false,
         "it begins with a \"RIFF\" header, which plays as noise"},
        {"a.alaw", "OggS....", false, false,
         "it begins with a \"OggS\" header, which plays as noise"},
        {"a.gsm", gsm_frames(3), true, false, ""},
        {"a.gsm", "", false, false, "empty"},
        {"a.gsm", cut_gsm, false, false, "80 bytes, not a whole number of 33-byte frames"},
        {"a.gsm", unsigned_gsm, false, false, "frame 2 lacks the GSM signature"},
        {"a.gsm", "fLaC" + gsm_frames(1), false, false,
         "it begins with a \"fLaC\" header, which plays as noise"},
        {"dots.", "anything", true, false, ""},
    };
    for (const Case& c : cases) {
        const moh::Playability got = judge(c.name, c.content);
        EXPECT_EQ(got.plays, c.plays) << c.name << ": " << c.reason;
        EXPECT_EQ(got.convertible, c.convertible) << c.name << ": " << c.reason;
        EXPECT_EQ(got.reason, c.reason) << c.name;
    }
}

// MPEG audio frames: a header, then as many bytes as it says the frame takes.
std::string frames(int count, const char* header, std::size_t bytes) {
    std::string frame = std::string(header, 4) + std::string(bytes - 4, '\x55');
    std::string text;
    for (int i = 0; i < count; ++i) text += frame;
    return text;
}

TEST(Playable, LengthIsToldFromTheHeadersAndAtMostAMillisecondAByteElse) {
    const std::string mp3_128k = frames(10, "\xff\xfb\x90\x00", 417);  // MPEG-1 III, 44.1 kHz
    const std::string mp3_8k = frames(5, "\xff\xe3\x18\x00", 72);      // MPEG-2.5 III, 8 kHz
    const std::string id3 = std::string("ID3\x04\0\0\0\0\0\x14", 10) + std::string(20, '\0');
    const std::string pcm = wav(1, 1, 16000, 16) + std::string(31952, '\0');
    const std::string gsm = wav(0x31, 1, 8000, 0, 65, "fact data", 20) + std::string(1560, '\0');
    // Ten minutes at 8 kHz, as a FLAC's STREAMINFO says, however few bytes follow.
    std::string flac = std::string("fLaC\x80\0\0\x22", 8) + std::string(10, '\0');
    const std::uint64_t info = std::uint64_t{8000} << 44 | std::uint64_t{15} << 36 | 4800000;
    for (int shift = 56; shift >= 0; shift -= 8) flac += static_cast<char>(info >> shift & 0xFF);
    flac += std::string(16, '\0');
    // A header that claims a millisecond holds no less than its bytes could.
    std::string liar = flac;
    liar[25] = 8;
    liar[24] = liar[23] = liar[22] = 0;
    liar += std::string(20000, '\x01');
    const struct {
        std::string content;
        double seconds;
    } cases[] = {
        {pcm, pcm.size() / 32000.0},
        {gsm, gsm.size() / 1625.0},
        {mp3_128k, 10 * 1152 / 44100.0},
        {id3 + mp3_8k + std::string(100, '\x01'), 0.030 + 5 * 0.072 + 0.100},
        {mp3_128k.substr(0, 4 * 417 + 200), 4 * 1152 / 44100.0 + 0.200},  // its last frame cut
        {"fLaC" + std::string(996, '\0'), 1.0},  // its STREAMINFO tells nothing
        {flac, 600.0},
        {liar, liar.size() / 1000.0},
    };
    for (const auto& c : cases) {
        const moh::Fd fd(::memfd_create("length", MFD_CLOEXEC));
        ASSERT_EQ(::write(fd.get(), c.content.data(), c.content.size()),
                  static_cast<ssize_t>(c.content.size()));
        EXPECT_NEAR(moh::seconds_at_most(fd.get(), static_cast<off_t>(c.content.size())), c.seconds,
                    1e-9)
            << c.content.size() << " bytes";
    }
}

}  // namespace
