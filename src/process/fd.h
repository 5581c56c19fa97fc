// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

namespace moh {

// Owns one file descriptor and closes it when it goes. Every descriptor the command opens is
// O_CLOEXEC, so a child gets only the ones it is handed explicitly.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Writes all of `bytes`, however many calls it takes, waiting on a descriptor that someone
// left non-blocking. Returns 0 or the errno of the failure.
inline int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            pollfd writable{fd, POLLOUT, 0};
            if (errno == EINTR || (errno == EAGAIN && ::poll(&writable, 1, -1) >= 0)) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace moh
