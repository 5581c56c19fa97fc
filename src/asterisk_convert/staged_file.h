// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// What the converters share: they write their output beside its name and rename it into place
// only when it is whole, so that a failure never leaves a truncated output nor loses the last.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace converter {

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
    // `prefix` names the program in the hidden name it writes to.
    StagedFile(const std::string& destination, const std::string& prefix)
        : destination_(destination) {
        const auto slash = destination.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
        path_ = dir + "." + prefix + ".XXXXXX";
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
inline int write_all(int fd, const std::uint8_t* data, std::size_t size) {
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

// "WHAT PATH: REASON", the one line a converter prints when it fails.
inline std::string failure(const char* what, const std::string& path, int err) {
    return std::string(what) + " " + path + ": " + std::strerror(err);
}

// A 16-bit signed little-endian sample, whatever the machine's own order.
inline int16_t sample_at(const std::uint8_t* bytes) {
    return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | bytes[1] << 8));
}

}  // namespace converter
