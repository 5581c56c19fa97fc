// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/playable.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "process/interrupt.h"
#include "process/log.h"

namespace moh {
namespace {

constexpr std::uint32_t kLowestRate = 8000;  // the lowest rate of anything worth converting
constexpr std::size_t kGsmFrame = 33;
constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kGsm610 = 0x31;

std::uint32_t le32(std::string_view bytes, std::size_t at) {
    const auto b = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i]));
    };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}
std::uint16_t le16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

bool ends_with(std::string_view name, std::string_view suffix) {
    return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

// Up to `limit` bytes of `fd` from `at`.
std::string read_at(int fd, off_t at, std::size_t limit, int& error) {
    std::string bytes(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n =
            ::pread(fd, bytes.data() + got, limit - got, at + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

struct WavFormat {
    std::uint16_t tag = 0;
    std::uint16_t channels = 0;
    std::uint32_t rate = 0;
    std::uint16_t block_align = 0;
    std::uint16_t bits = 0;
    std::uint32_t fmt_size = 0;
    std::string chunks_after;  // the ids of the chunks after "fmt ", in order
};

// The "fmt " chunk of the RIFF/WAVE file open as `fd` and the chunks that follow it, read a chunk
// header at a time, so that tags of any size before the audio are passed over; nothing when the
// file is not such a file.
std::optional<WavFormat> parse_wav(int fd, int& error) {
    constexpr int kChunkLimit = 64;  // more is no WAV a person made
    std::string head = read_at(fd, 0, 12, error);
    if (head.size() < 12 || head.substr(0, 4) != "RIFF" || head.substr(8, 4) != "WAVE")
        return std::nullopt;
    std::optional<WavFormat> format;
    off_t at = 12;
    for (int chunk = 0; chunk < kChunkLimit; ++chunk) {
        const std::string header = read_at(fd, at, 8 + 16, error);
        if (header.size() < 8) break;
        const std::string_view id = std::string_view(header).substr(0, 4);
        const std::uint32_t size = le32(header, 4);
        if (id == "fmt " && !format && size >= 16 && header.size() >= 8 + 16) {
            format.emplace();
            format->fmt_size = size;
            format->tag = le16(header, 8);
            format->channels = le16(header, 10);
            format->rate = le32(header, 12);
            format->block_align = le16(header, 20);
            format->bits = le16(header, 22);
        } else if (format) {
            format->chunks_after += std::string(id) + " ";
        }
        if (id == "data") break;
        at += 8 + static_cast<off_t>(size) + (size & 1);
    }
    return format;
}

std::string encoding_of(const WavFormat& format) {
    switch (format.tag) {
        case kPcm:
            return format_text("%u-bit PCM", format.bits);
        case 3:
            return format_text("%u-bit float", format.bits);
        case 6:
            return "A-law";
        case 7:
            return "mu-law";
        case kGsm610:
            return "GSM 6.10";
        case 0xFFFE:
            return format_text("%u-bit extensible", format.bits);
        default:
            return format_text("format 0x%04x", format.tag);
    }
}

std::string describe(const WavFormat& format) {
    return format_text("%u Hz, %u channel%s, %s", format.rate, format.channels,
                       format.channels == 1 ? "" : "s", encoding_of(format).c_str());
}

// The encodings sox decodes from a WAV; others (MP3 or WMA inside WAV, say) it refuses.
bool sox_reads(const WavFormat& format) {
    switch (format.tag) {
        case kPcm:
        case 2:  // Microsoft ADPCM
        case 3:
        case 6:
        case 7:
        case 0x11:  // IMA ADPCM
        case kGsm610:
        case 0xFFFE:
            // A writer's tiny file that claims a rate of 1 Hz would be hours of audio: the
            // outputs of a WAV stay in proportion to it.
            return format.channels > 0 && format.channels <= 32 && format.rate >= kLowestRate &&
                   format.rate <= 384000;
        default:
            return false;
    }
}

Playability refused(std::string reason, bool convertible = false) {
    return {false, convertible, std::move(reason)};
}

Playability judge_wav(int fd, bool gsm_layout) {
    int error = 0;
    const std::optional<WavFormat> format = parse_wav(fd, error);
    if (error != 0) return refused(std::strerror(error));
    // sox decides what it can read; a file that is not a WAV at all is not ours to convert.
    if (!format)
        return refused(read_at(fd, 0, 1, error).empty() ? "empty" : "not a RIFF/WAVE file");
    if (!gsm_layout) {
        if (format->tag == kPcm && format->bits == 16 && format->channels == 1 &&
            format->rate == 8000 && format->chunks_after.find("data ") != std::string::npos) {
            return {};
        }
        return refused(describe(*format), sox_reads(*format));
    }
    // The uppercase name is GSM 6.10 to Asterisk, which reads a 20-byte "fmt " and then
    // "fact" and "data", exactly.
    if (format->tag == kGsm610 && format->channels == 1 && format->rate == 8000 &&
        format->block_align == 65 && format->fmt_size == 20 &&
        format->chunks_after.rfind("fact data ", 0) == 0) {
        return {};
    }
    if (format->tag == kGsm610)
        return refused(describe(*format) + ", not in the layout Asterisk reads", true);
    return refused(describe(*format) + "; .WAV is read as GSM 6.10", true);
}

Playability judge_headerless(int fd, bool gsm) {
    int error = 0;
    const std::string head = read_at(fd, 0, 4, error);
    if (error != 0) return refused(std::strerror(error));
    for (const std::string_view magic : {"RIFF", "ID3", "OggS", "fLaC"}) {
        if (head.substr(0, magic.size()) == magic) {
            return refused(format_text("it begins with a \"%.*s\" header, which plays as noise",
                                       static_cast<int>(magic.size()), magic.data()));
        }
    }
    if (!gsm) return {};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refused(std::strerror(errno));
    if (st.st_size == 0) return refused("empty");
    if (st.st_size % kGsmFrame != 0) {
        return refused(format_text("%lld bytes, not a whole number of 33-byte frames",
                                   static_cast<long long>(st.st_size)));
    }
    // Every frame starts with the signature nibble 0xD; a frame without it stops the decoder.
    // What the file held when it was looked at is read, and no more: it may grow meanwhile.
    std::array<char, kGsmFrame * 1024> block;
    for (off_t at = 0; at < st.st_size && interrupt_signal() == 0;) {
        const ssize_t n =
            ::pread(fd, block.data(),
                    std::min<off_t>(static_cast<off_t>(block.size()), st.st_size - at), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refused(std::strerror(errno));
        if (n == 0) break;
        for (ssize_t i = 0; i < n; i += kGsmFrame) {
            if ((static_cast<unsigned char>(block[i]) >> 4) != 0xD) {
                return refused(format_text("frame %lld lacks the GSM signature",
                                           static_cast<long long>((at + i) / kGsmFrame) + 1));
            }
        }
        at += n;
    }
    return {};
}

constexpr double kSecondsPerUnknownByte = 0.001;

// The audio that the MPEG audio frame whose header is `h` holds, and the bytes it takes; nothing
// when `h` is no such header (free-format frames among them, which say no length).
struct MpegFrame {
    std::uint32_t bytes;
    double seconds;
};
std::optional<MpegFrame> mpeg_frame(const unsigned char* h) {
    static constexpr std::uint16_t kBitrates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2 II, III
    };
    static constexpr std::uint32_t kRates[3] = {44100, 48000, 32000};
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return std::nullopt;
    const unsigned version = (h[1] >> 3) & 3;      // 0: 2.5, 1: reserved, 2: 2, 3: 1
    const unsigned layer = 4 - ((h[1] >> 1) & 3);  // 4: reserved
    const unsigned bitrate_index = h[2] >> 4;
    const unsigned rate_index = (h[2] >> 2) & 3;
    if (version == 1 || layer == 4 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3)
        return std::nullopt;
    const bool mpeg1 = version == 3;
    const std::uint32_t rate = kRates[rate_index] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const std::uint32_t bitrate = 1000u * kBitrates[mpeg1        ? layer - 1
                                                    : layer == 1 ? 3
                                                                 : 4][bitrate_index];
    const std::uint32_t padding = (h[2] >> 1) & 1;
    const std::uint32_t samples = layer == 1 ? 384 : layer == 3 && !mpeg1 ? 576 : 1152;
    const std::uint32_t bytes =
        layer == 1 ? (12 * bitrate / rate + padding) * 4 : samples / 8 * bitrate / rate + padding;
    return MpegFrame{bytes, static_cast<double>(samples) / rate};
}

double mpeg_seconds_at_most(int fd, off_t size) {
    int error = 0;
    off_t at = 0;
    // An ID3v2 tag first: its size, in 7-bit bytes, and a footer when flagged.
    const std::string tag = read_at(fd, 0, 10, error);
    if (tag.size() == 10 && tag.compare(0, 3, "ID3") == 0) {
        std::uint32_t tag_size = 0;
        for (std::size_t i = 6; i < 10; ++i)
            tag_size = tag_size << 7 | (static_cast<unsigned char>(tag[i]) & 0x7F);
        at = 10 + static_cast<off_t>(tag_size) + ((tag[5] & 0x10) != 0 ? 10 : 0);
    }
    double seconds = static_cast<double>(std::min(at, size)) * kSecondsPerUnknownByte;
    constexpr std::size_t kBlock = 64 * 1024;
    std::string block;
    off_t block_at = 0;
    while (at < size && interrupt_signal() == 0) {
        // A header's four bytes, from a block read ahead.
        if (at < block_at || at + 4 > block_at + static_cast<off_t>(block.size())) {
            block_at = at;
            block = read_at(fd, at, static_cast<std::size_t>(std::min<off_t>(kBlock, size - at)),
                            error);
            if (block.size() < 4) break;
        }
        const auto* header = reinterpret_cast<const unsigned char*>(block.data() + (at - block_at));
        const std::optional<MpegFrame> frame = mpeg_frame(header);
        if (frame && at + static_cast<off_t>(frame->bytes) <= size) {
            seconds += frame->seconds;
            at += frame->bytes;
        } else {
            seconds += kSecondsPerUnknownByte;
            ++at;
        }
    }
    return seconds + static_cast<double>(std::max<off_t>(size - at, 0)) * kSecondsPerUnknownByte;
}

// A FLAC's length as its STREAMINFO block gives it; nothing when it is no FLAC or does not say.
std::optional<double> flac_seconds(int fd) {
    int error = 0;
    const std::string head = read_at(fd, 0, 26, error);
    // STREAMINFO first, 34 bytes long.
    if (head.size() < 26 || head.compare(0, 4, "fLaC") != 0 || (head[4] & 0x7F) != 0 ||
        head.compare(5, 3, std::string("\0\0\x22", 3)) != 0)
        return std::nullopt;
    // After the block sizes: 20 bits of rate, 3 of channels, 5 of depth, 36 of samples.
    std::uint64_t bits = 0;
    for (std::size_t i = 18; i < 26; ++i) bits = bits << 8 | static_cast<unsigned char>(head[i]);
    const std::uint64_t rate = bits >> 44;
    const std::uint64_t samples = bits & ((std::uint64_t{1} << 36) - 1);
    if (rate == 0 || rate > 655350 || samples == 0) return std::nullopt;
    return static_cast<double>(samples) / static_cast<double>(rate);
}

}  // namespace

double seconds_at_most(int fd, off_t size) {
    // Compressed as FLAC, an hour of silence takes 100 KB: its header says how long it is. A
    // writer's header may lie, but never below what the bytes alone could hold.
    if (const std::optional<double> flac = flac_seconds(fd))
        return std::max(*flac, mpeg_seconds_at_most(fd, size));
    int error = 0;
    if (const std::optional<WavFormat> wav = parse_wav(fd, error)) {
        // The fewest bits a sample of its encoding takes: GSM 6.10's 260 for 160 samples, the
        // ADPCMs' 4, the rest their own.
        const double bits = wav->tag == kGsm610                 ? 1.625
                            : wav->tag == 2 || wav->tag == 0x11 ? 4
                                                                : std::max<double>(wav->bits, 8);
        const double bytes_per_second = wav->rate * std::max<double>(wav->channels, 1) * bits / 8;
        if (bytes_per_second >= 1) return static_cast<double>(size) / bytes_per_second;
    }
    return mpeg_seconds_at_most(fd, size);
}

Playability judge_playable(std::string_view name, int fd) {
    if (ends_with(name, ".wav")) return judge_wav(fd, false);
    if (ends_with(name, ".WAV")) return judge_wav(fd, true);
    if (ends_with(name, ".ulaw") || ends_with(name, ".alaw")) return judge_headerless(fd, false);
    if (ends_with(name, ".gsm")) return judge_headerless(fd, true);
    return {};
}

}  // namespace moh
