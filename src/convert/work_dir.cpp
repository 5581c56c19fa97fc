// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/work_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace moh {

WorkDir::WorkDir(const std::string& path) : path_(path) {
    const std::filesystem::path parent = std::filesystem::path(path_).parent_path();
    ::mkdir(parent.c_str(), 0700);
    // Removing by path is safe only where no one else can put a link on the way.
    const Fd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!parent_fd || ::fstat(parent_fd.get(), &st) != 0) {
        error_ = errno;
        return;
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        error_ = EPERM;
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    if (::mkdir(path_.c_str(), 0700) != 0) {
        error_ = errno;
        return;
    }
    fd_.reset(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd_) error_ = errno;
}

WorkDir::~WorkDir() {
    if (!fd_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace moh
