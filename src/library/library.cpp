#include "library/library.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

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

// Opens an absolute directory path one component at a time. A link on the way is followed only
// when it is root's own: a writer who owns a folder above the library must not be able to point
// the library somewhere else by putting a link of theirs in its place. Such a link fails the
// open with EPERM and is named, by the path it was met at, in `foreign_link`.
Fd open_trusted_path(const std::string& path, int& error, std::string& foreign_link) {
    constexpr int kHops = 40;
    std::vector<std::string> left;  // components still to walk, the next one last
    const auto push = [&left](std::string_view text) {
        std::vector<std::string> parts;
        for (std::size_t start = 0; start <= text.size();) {
            const auto slash = std::min(text.find('/', start), text.size());
            if (slash > start) parts.emplace_back(text.substr(start, slash - start));
            start = slash + 1;
        }
        left.insert(left.end(), parts.rbegin(), parts.rend());
    };
    // Where `current` is: links followed, so ".." is its parent.
    std::string walked;
    const auto step = [&walked](const std::string& name) {
        if (name == "..")
            walked.resize(walked.empty() ? 0 : walked.rfind('/'));
        else if (name != ".")
            walked += "/" + name;
    };
    Fd current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    push(path);
    for (int hops = 0; current && !left.empty();) {
        const std::string name = std::move(left.back());
        left.pop_back();
        Fd next(::openat(current.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!next || ::fstat(next.get(), &st) != 0) {
            error = errno;
            return Fd();
        }
        if (S_ISLNK(st.st_mode)) {
            if (st.st_uid != 0) {
                step(name);
                foreign_link = walked;
                error = EPERM;
                return Fd();
            }
            char target[PATH_MAX];
            const ssize_t length = ::readlinkat(next.get(), "", target, sizeof target);
            if (++hops > kHops || length <= 0 ||
                static_cast<std::size_t>(length) >= sizeof target) {
                error = ELOOP;
                return Fd();
            }
            const std::string_view text(target, static_cast<std::size_t>(length));
            if (text.front() == '/') {
                current.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                walked.clear();
            }
            push(text);
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            error = ENOTDIR;
            return Fd();
        }
        step(name);
        current = std::move(next);
    }
    if (!current) error = errno;
    return current;
}

}  // namespace

Library::Library(std::string path) : path_(std::move(path)) {
    fd_ = open_trusted_path(path_, error_, foreign_link_);
}

Fd Library::open_dir(std::string_view relative, int& error) const {
    return open_in_pieces(fd_.get(), relative, O_PATH | O_DIRECTORY, kNoLinks, error);
}

Fd Library::open_mp3(int dir, const std::string& name, const std::string& relative,
                     std::string& reason) const {
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
    int error = 0;
    // The name in the directory the walk resolved; only a link there is resolved again, from
    // the library, so that a folder swapped for a link meanwhile cannot redirect it.
    Fd mp3(open_beneath(dir, name, kFlags, kNoLinks));
    if (!mp3 && errno == ELOOP)
        mp3 = open_in_pieces(fd_.get(), relative, kFlags, kLinksInside, error);
    else if (!mp3)
        error = errno;
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
    // A real MP3 is never sparse: a huge file of holes would only keep sox busy.
    constexpr off_t kSparseFrom = 16 << 20;
    if (!mp3) {
        reason = error == EXDEV ? "the link leads outside the library" : std::strerror(error);
    } else if (::fstat(mp3.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        mp3.reset();
    } else if (st.st_size > kSparseFrom && st.st_blocks * 512 < st.st_size / 2) {
        reason = "a sparse file";
        mp3.reset();
    }
    return mp3;
}

}  // namespace moh
