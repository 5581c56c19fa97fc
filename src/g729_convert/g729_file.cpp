// SPDX-License-Identifier: GPL-3.0-or-later
#include "g729_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string failure(const char* what, const std::string& path, int err) {
    return std::string(what) + " " + path + ": " + std::strerror(err);
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// A file beside the destination that is removed unless committed by renaming it into place.
class StagedFile {
  public:
    explicit StagedFile(const std::string& destination) : destination_(destination) {
        const auto slash = destination.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
        path_ = dir + ".g729_convert.XXXXXX";
        fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        // mkostemp makes the file 0600; give it the mode a plain create would have.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd_, 0666 & ~mask);
    }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_ && error_ == 0) ::unlink(path_.c_str());
    }

    int fd() const { return fd_; }
    int open_error() const { return error_; }

    // Returns 0 or the errno of the close or the rename that failed; a write-back filesystem
    // may report a full disk only at the close.
    int commit() {
        if (::close(std::exchange(fd_, -1)) != 0) return errno;
        if (::rename(path_.c_str(), destination_.c_str()) != 0) return errno;
        committed_ = true;
        return 0;
    }

  private:
    std::string destination_;
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
    bool committed_ = false;
};

// Returns 0 or the errno of the failed write.
int write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int16_t sample_at(const std::uint8_t* bytes) {
    return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | bytes[1] << 8));
}

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

    StagedFile out(out_path);
    if (out.fd() < 0) return failure("cannot create", out_path, out.open_error());

    // Less than a frame carries over from one read to the next.
    std::array<std::uint8_t, kBlockBytes + kFrameBytes> bytes{};
    std::array<int16_t, kFrameSamples> frame{};
    std::array<std::uint8_t, kBlockFrames * kEncodedFrameBytes> encoded{};
    std::size_t carried = 0;

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
