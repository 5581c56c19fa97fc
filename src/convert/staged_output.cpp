// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/staged_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace moh {
namespace {

// Root's alone while it is written: where it has a name, anyone who may list the directory could
// open it. It gets its owner's mode when it is handed over.
constexpr mode_t kStagedMode = 0600;

std::string hidden_name() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".moh-convert.";
    for (int i = 0; i < 12; ++i) name += kDigits[random() % (sizeof kDigits - 1)];
    return name;
}

}  // namespace

StagedOutput::StagedOutput(int dir) : dir_(dir) {
    fd_.reset(::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kStagedMode));
    if (fd_ || (errno != EOPNOTSUPP && errno != EISDIR)) {
        if (!fd_) error_ = errno;
        return;
    }
    for (int attempt = 0; attempt < 16 && !fd_; ++attempt) {
        hidden_name_ = hidden_name();
        fd_.reset(::openat(dir, hidden_name_.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kStagedMode));
        if (!fd_ && errno != EEXIST) break;
    }
    if (!fd_) {
        error_ = errno;
        hidden_name_.clear();
    }
}

StagedOutput::~StagedOutput() {
    if (!hidden_name_.empty()) ::unlinkat(dir_, hidden_name_.c_str(), 0);
}

int StagedOutput::give_to(uid_t owner, gid_t group, mode_t mode) {
    if (::fchown(fd_.get(), owner, group) != 0 || ::fchmod(fd_.get(), mode) != 0) return errno;
    return 0;
}

int StagedOutput::publish(const std::string& name) {
    if (!hidden_name_.empty()) {
        if (::renameat(dir_, hidden_name_.c_str(), dir_, name.c_str()) != 0) return errno;
        hidden_name_.clear();
        return 0;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
    if (::linkat(AT_FDCWD, self.c_str(), dir_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != EEXIST) return errno;
    // Something stands at the name: link beside it, then rename over it in one step.
    std::string beside;
    for (int attempt = 0; attempt < 16; ++attempt) {
        beside = hidden_name();
        if (::linkat(AT_FDCWD, self.c_str(), dir_, beside.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
        if (errno != EEXIST) return errno;
        beside.clear();
    }
    if (beside.empty()) return EEXIST;
    if (::renameat(dir_, beside.c_str(), dir_, name.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(dir_, beside.c_str(), 0);
        return error;
    }
    return 0;
}

}  // namespace moh
