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

}  // namespace

Playability judge_playable(std::string_view name, int fd) {
    if (ends_with(name, ".wav")) return judge_wav(fd, false);
    if (ends_with(name, ".WAV")) return judge_wav(fd, true);
    if (ends_with(name, ".ulaw") || ends_with(name, ".alaw")) return judge_headerless(fd, false);
    if (ends_with(name, ".gsm")) return judge_headerless(fd, true);
    return {};
}

}  // namespace moh
