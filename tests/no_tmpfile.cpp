// SPDX-License-Identifier: GPL-2.0-or-later
// A filesystem without unnamed temporary files, for the tests that need one: while
// test::no_tmpfile is set, openat refuses O_TMPFILE as such a filesystem does. Only the kernel's
// flags are included here, so that no declaration of openat stands in the way.
#include <linux/fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>

namespace test {
std::atomic<bool> no_tmpfile{false};
}

extern "C" int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const bool tmpfile = (flags & __O_TMPFILE) == __O_TMPFILE;
    const unsigned mode = (flags & O_CREAT) != 0 || tmpfile ? va_arg(args, unsigned) : 0;
    va_end(args);
    if (tmpfile && test::no_tmpfile) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_openat, dir, path, flags, mode));
}
