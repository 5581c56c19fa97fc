// SPDX-License-Identifier: GPL-2.0-or-later
#include "g722_file.h"

#include <fcntl.h>
#include <spandsp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "asterisk_convert/staged_file.h"

namespace g722 {
namespace {

constexpr int kBitRate = 64000;
// A multiple of four bytes, so that a full read always ends on a sample pair.
constexpr std::size_t kBlockBytes = 64 * 1024;

using converter::failure;
using converter::Fd;
using converter::sample_at;
using converter::StagedFile;
using converter::write_all;

using Encoder = std::unique_ptr<g722_encode_state_t, decltype(&g722_encode_free)>;

}  // namespace

std::optional<std::string> convert_file(const std::string& in_path, const std::string& out_path) {
    Fd in(::open(in_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return failure("cannot open", in_path, errno);
    struct stat st {};
    if (::fstat(in.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return failure("cannot read", in_path, EISDIR);
    }

    Encoder encoder(g722_encode_init(nullptr, kBitRate, 0), g722_encode_free);
    if (!encoder) return "cannot set up the G.722 encoder";

    StagedFile out(out_path, "asterisk_convert");
    if (out.fd() < 0) return failure("cannot create", out_path, out.open_error());

    // Up to three bytes of an unfinished sample pair carry over from one read to the next.
    std::array<std::uint8_t, kBlockBytes + 4> bytes{};
    std::array<int16_t, kBlockBytes / 2> samples{};
    std::array<std::uint8_t, kBlockBytes / 4 + 1> encoded{};
    std::size_t carried = 0;

    for (;;) {
        const ssize_t n = ::read(in.get(), bytes.data() + carried, kBlockBytes);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failure("cannot read", in_path, errno);
        }
        const std::size_t available = carried + static_cast<std::size_t>(n);
        std::size_t pairs = available / 4;
        if (n == 0 && available >= 2) {
            // The last odd sample is paired with itself, as ffmpeg's encoder does, so both
            // produce the same final byte.
            bytes[2] = bytes[0];
            bytes[3] = bytes[1];
            pairs = 1;
        }
        for (std::size_t i = 0; i < pairs * 2; ++i) samples[i] = sample_at(&bytes[2 * i]);
        const int produced =
            g722_encode(encoder.get(), encoded.data(), samples.data(), static_cast<int>(pairs * 2));
        if (const int err =
                write_all(out.fd(), encoded.data(), static_cast<std::size_t>(produced))) {
            return failure("cannot write", out_path, err);
        }
        if (n == 0) break;
        carried = available - pairs * 4;
        std::memmove(bytes.data(), bytes.data() + pairs * 4, carried);
    }

    if (const int err = out.commit()) return failure("cannot write", out_path, err);
    return std::nullopt;
}

}  // namespace g722
