// SPDX-License-Identifier: GPL-3.0-or-later
#include "g729_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "asterisk_convert/staged_file.h"

extern "C" {
#include <bcg729/encoder.h>
}

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

namespace g729 {
namespace {

constexpr std::size_t kFrameSamples = 80;
constexpr std::size_t kFrameBytes = kFrameSamples * 2;
constexpr std::size_t kEncodedFrameBytes = 10;
// Whole frames only, so that a full read never leaves part of one behind.
constexpr std::size_t kBlockFrames = 400;
constexpr std::size_t kBlockBytes = kBlockFrames * kFrameBytes;

using converter::failure;
using converter::Fd;
using converter::sample_at;
using converter::StagedFile;
using converter::write_all;

using Encoder =
    std::unique_ptr<bcg729EncoderChannelContextStruct, decltype(&closeBcg729EncoderChannel)>;

}  // namespace

std::optional<std::string> convert_file(const std::string& in_path, const std::string& out_path) {
    Fd in(::open(in_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return failure("cannot open", in_path, errno);
    struct stat st {};
    if (::fstat(in.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return failure("cannot read", in_path, EISDIR);
    }

    // Voice activity detection off: every frame is a full voice frame, as Asterisk plays them.
    Encoder encoder(initBcg729EncoderChannel(0), closeBcg729EncoderChannel);
    if (!encoder) return "cannot set up the G.729 encoder";

    StagedFile out(out_path, "g729_convert");
    if (out.fd() < 0) return failure("cannot create", out_path, out.open_error());

    // Less than a frame carries over from one read to the next.
    std::array<std::uint8_t, kBlockBytes + kFrameBytes> bytes{};
    std::array<int16_t, kFrameSamples> frame{};
    std::array<std::uint8_t, kBlockFrames * kEncodedFrameBytes> encoded{};
    std::size_t carried = 0;
    std::size_t total = 0;  // frames written

    for (;;) {
        const ssize_t n = ::read(in.get(), bytes.data() + carried, kBlockBytes);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failure("cannot read", in_path, errno);
        }
        const std::size_t available = carried + static_cast<std::size_t>(n);
        std::size_t frames = available / kFrameBytes;
        if (n == 0 && available >= 2) {
            // The last partial frame is filled with silence from its last whole sample on,
            // which drops a trailing odd byte.
            const std::size_t whole = available / 2 * 2;
            std::memset(bytes.data() + whole, 0, kFrameBytes - whole);
            frames = 1;
        }
        std::size_t produced = 0;
        for (std::size_t f = 0; f < frames; ++f) {
            for (std::size_t i = 0; i < kFrameSamples; ++i) {
                frame[i] = sample_at(&bytes[f * kFrameBytes + 2 * i]);
            }
            uint8_t length = 0;
            bcg729Encoder(encoder.get(), frame.data(), encoded.data() + produced, &length);
            produced += length;
        }
        // Asterisk reads two frames at a time and drops a last odd one: the encoder's own frame
        // of silence makes the pair, as a frame of zero bytes would not decode as silence.
        total += frames;
        if (n == 0 && total % 2 != 0) {
            frame.fill(0);
            uint8_t length = 0;
            bcg729Encoder(encoder.get(), frame.data(), encoded.data() + produced, &length);
            produced += length;
        }
        if (const int err = write_all(out.fd(), encoded.data(), produced)) {
            return failure("cannot write", out_path, err);
        }
        if (n == 0) break;
        carried = available - frames * kFrameBytes;
        std::memmove(bytes.data(), bytes.data() + frames * kFrameBytes, carried);
    }

    if (const int err = out.commit()) return failure("cannot write", out_path, err);
    return std::nullopt;
}

}  // namespace g729
