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

namespace g722 {
namespace {

constexpr int kBitRate = 64000;
// A multiple of four bytes, so that a full read always ends on a sample pair.
constexpr std::size_t kBlockBytes = 64 * 1024;

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
    // Closes now so that the caller sees the error, which a write-back filesystem may
    // report only here.
    int close() { return ::close(std::exchange(fd_, -1)); }

  private:
    int fd_;
};

// A file beside the destination that is removed unless committed by renaming it into place.
class StagedFile {
  public:
    explicit StagedFile(const std::string& destination) : destination_(destination) {
        const auto slash = destination.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
        path_ = dir + ".asterisk_convert.XXXXXX";
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

    // Returns 0 or the errno of the close or the rename that failed.
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

    StagedFile out(out_path);
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
