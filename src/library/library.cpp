#include "library/library.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace moh {
namespace {

constexpr unsigned long long kNoLinks =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
constexpr unsigned long long kLinksInside = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;

int open_beneath(int dir, const std::string& path, int flags, unsigned long long resolve) {
    open_how how{};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    how.resolve = resolve;
    return static_cast<int>(::syscall(SYS_openat2, dir, path.c_str(), &how, sizeof how));
}

// The kernel takes a path of less than PATH_MAX bytes at a time: a longer one is opened in
// pieces, each beneath the last.
Fd open_in_pieces(int dir, std::string_view path, int flags, unsigned long long resolve,
                  int& error) {
    Fd current(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    while (current && !path.empty()) {
        std::size_t cut = path.size();
        if (cut >= PATH_MAX) {
            cut = path.rfind('/', PATH_MAX - 1);
            if (cut == std::string_view::npos || cut == 0)
                cut = std::min<std::size_t>(path.size(), PATH_MAX);
        }
        current.reset(
            open_beneath(current.get(), std::string(path.substr(0, cut)), flags, resolve));
        path.remove_prefix(std::min(path.size(), cut + 1));
    }
    if (!current) error = errno;
    return current;
}

}  // namespace

Library::Library(std::string path) : path_(std::move(path)) {
    fd_.reset(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd_) error_ = errno;
}

Fd Library::open_dir(std::string_view relative, int& error) const {
    return open_in_pieces(fd_.get(), relative, O_PATH | O_DIRECTORY, kNoLinks, error);
}

Fd Library::open_mp3(const std::string& relative, std::string& reason) const {
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
    int error = 0;
    Fd mp3 = open_in_pieces(fd_.get(), relative, kFlags, kLinksInside, error);
    if (!mp3 && error == EXDEV) {
        // An absolute link is fine as long as it names a place inside the library.
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(fd_.get(), relative.c_str(), target, sizeof target);
        const std::string prefix = path_ + "/";
        if (length > 0 && static_cast<std::size_t>(length) < sizeof target &&
            std::string_view(target, static_cast<std::size_t>(length)).substr(0, prefix.size()) ==
                prefix) {
            mp3 = open_in_pieces(
                fd_.get(),
                std::string_view(target, static_cast<std::size_t>(length)).substr(prefix.size()),
                kFlags, kLinksInside, error);
        }
    }
    struct stat st {};
    if (!mp3) {
        reason = error == EXDEV ? "the link leads outside the library" : std::strerror(error);
    } else if (::fstat(mp3.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        mp3.reset();
    }
    return mp3;
}

}  // namespace moh
