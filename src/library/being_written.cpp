// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/being_written.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "process/fd.h"

namespace moh {

Writing still_being_written(int dir, const std::string& name, int& error) {
    // Non-blocking: a file under someone's write lease (Samba's oplocks) refuses us at once
    // rather than holding the run until the lease is broken.
    const Fd file(
        ::openat(dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Writing::kNo;
    if (::fcntl(file.get(), F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(file.get(), F_SETLEASE, F_UNLCK);
        return Writing::kNo;
    }
    error = errno;
    if (error == EAGAIN) return Writing::kYes;
    // Without the right to a lease on another's file, a fragment would pass for a whole song.
    return error == EACCES || error == EPERM ? Writing::kUnknown : Writing::kNo;
}

}  // namespace moh
