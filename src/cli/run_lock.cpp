// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace moh {
namespace {

pid_t read_holder(int fd) {
    // The holder writes its pid right after taking the lock: give it a moment to.
    for (int attempt = 0; attempt < 50; ++attempt) {
        char text[32] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
        if (pid > 0) return static_cast<pid_t>(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

}  // namespace

RunLock::RunLock(const std::string& path) {
    // Never through a link: whatever the lock file is, it is root's own.
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat st {};
    if (!fd_ || ::fstat(fd_.get(), &st) != 0) {
        failure_ = std::strerror(errno);
        return;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        failure_ = "not a file of this user's own";
        return;
    }
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            holder_ = read_holder(fd_.get());
        } else {
            failure_ = std::strerror(errno);
        }
        return;
    }
    held_ = true;
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_.get(), 0) != 0 ||
        ::pwrite(fd_.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds all the same; only the name of its holder is missing.
    }
}

}  // namespace moh
