// SPDX-License-Identifier: GPL-2.0-or-later
#include "convert/private_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "convert/commands.h"

namespace moh {

PrivateDir::PrivateDir(int work_dir, const std::string& work_path, const std::string& name)
    : parent_(work_dir), name_(name), path_(work_path + "/" + name_) {
    if (::mkdirat(parent_, name_.c_str(), 0700) != 0) {
        error_ = errno;
        return;
    }
    fd_.reset(::openat(parent_, name_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd_) error_ = errno;
}

PrivateDir::~PrivateDir() {
    for (const auto& name : made_) ::unlinkat(fd_.get(), name.c_str(), 0);
    if (fd_) ::unlinkat(parent_, name_.c_str(), AT_REMOVEDIR);
}

std::string PrivateDir::link_to_input(const std::string& name, int& error) {
    if (::symlinkat(kInputLink, fd_.get(), name.c_str()) != 0) {
        error = errno;
        return "";
    }
    return path(name);
}

std::string PrivateDir::path(const std::string& name) {
    made_.push_back(name);
    return path_ + "/" + name;
}

Fd PrivateDir::unnamed_file(int& error) {
    Fd file(::openat(fd_.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!file && (errno == EOPNOTSUPP || errno == EISDIR)) {
        const std::string name = ".unnamed" + std::to_string(unnamed_++);
        file.reset(::openat(fd_.get(), name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file) ::unlinkat(fd_.get(), name.c_str(), 0);
    }
    if (!file) error = errno;
    return file;
}

}  // namespace moh
