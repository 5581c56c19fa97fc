// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/being_written.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "process/fd.h"

namespace moh {

bool still_being_written(int dir, const std::string& name) {
    // Non-blocking: a file under someone's write lease (Samba's oplocks) refuses us at once
    // rather than holding the run until the lease is broken.
    const Fd file(
        ::openat(dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (::fcntl(file.get(), F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(file.get(), F_SETLEASE, F_UNLCK);
        return false;
    }
    return errno == EAGAIN;
}

}  // namespace moh
