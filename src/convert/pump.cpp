// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/pump.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <system_error>

namespace moh {
namespace {

// Writes all of `bytes`; false when the reader has gone (or the write failed otherwise). The
// SIGPIPE such a write raises is taken back, so that it cannot end the run.
bool write_or_drop(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) {
                sigset_t pipe_signal;
                sigemptyset(&pipe_signal);
                sigaddset(&pipe_signal, SIGPIPE);
                const timespec now{};
                ::sigtimedwait(&pipe_signal, nullptr, &now);
            }
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

Pump::Pump(Fd from, std::vector<Fd> to, off_t limit, std::function<bool()> go_on)
    : from_(std::move(from)), to_(std::move(to)), limit_(limit), go_on_(std::move(go_on)) {
    // The thread starts with SIGPIPE blocked, so that a write to a pipe whose reader has gone
    // fails with EPIPE instead of raising it for the whole process.
    sigset_t pipe_signal, before;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
    try {
        thread_ = std::thread([this] { copy(); });
    } catch (const std::system_error& error) {
        error_ = error.code().value();
        to_.clear();
        from_.reset();
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

Pump::~Pump() {
    finish();
}

int Pump::finish() {
    if (thread_.joinable()) thread_.join();
    return error_;
}

void Pump::copy() {
    std::array<char, 64 * 1024> buffer;
    bool positional = true;  // pread until the source turns out to be a pipe
    off_t done = 0;
    while (!to_.empty() && (limit_ < 0 || done < limit_)) {
        std::size_t want = buffer.size();
        if (limit_ >= 0)
            want = std::min<std::size_t>(want, static_cast<std::size_t>(limit_ - done));
        const ssize_t n = positional ? ::pread(from_.get(), buffer.data(), want, done)
                                     : ::read(from_.get(), buffer.data(), want);
        if (n < 0 && positional && errno == ESPIPE) {
            positional = false;
            continue;
        }
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            break;
        }
        if (go_on_ && (done + n) / kCheckEvery != done / kCheckEvery && !go_on_()) {
            cut_short_ = true;
            to_.clear();
            break;
        }
        done += n;
        std::erase_if(to_, [&](const Fd& pipe) {
            return !write_or_drop(pipe.get(), buffer.data(), static_cast<std::size_t>(n));
        });
    }
    to_.clear();
    // A pipe's writer is let run to its end, unread: sox holds a reader of its own output, so
    // that closing ours would leave it blocked for good, deaf even to SIGTERM.
    if (!positional && error_ == 0) {
        for (ssize_t n; (n = ::read(from_.get(), buffer.data(), buffer.size())) != 0;) {
            if (n < 0 && errno != EINTR) break;
        }
    }
    from_.reset();
}

}  // namespace moh
