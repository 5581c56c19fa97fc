// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/library.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

namespace moh {
namespace {

constexpr unsigned long long kNoLinks =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

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

// Where the link open as `link`, found at `at` (relative to the library at `library_dir`),
// leads, relative to the library; nothing, with EXDEV in `error`, when that is outside it.
std::optional<std::string> link_target(int link, const std::string& at,
                                       const std::string& library_dir, int& error) {
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(link, "", target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
        error = length < 0 ? errno : ENAMETOOLONG;
        return std::nullopt;
    }
    std::string_view text(target, static_cast<std::size_t>(length));
    std::vector<std::string_view> parts;
    const std::string prefix = library_dir + "/";
    if (text.front() == '/') {
        // An absolute link is fine as long as it names a place inside the library.
        if (text.substr(0, prefix.size()) != prefix) {
            error = EXDEV;
            return std::nullopt;
        }
        text.remove_prefix(prefix.size());
    } else {
        std::string_view base(at);
        const auto slash = base.rfind('/');
        base = slash == std::string_view::npos ? std::string_view() : base.substr(0, slash);
        for (std::size_t start = 0; start < base.size();) {
            const auto end = std::min(base.find('/', start), base.size());
            parts.push_back(base.substr(start, end - start));
            start = end + 1;
        }
    }
    // No folder part may be a link, so ".." means the folder above, as written.
    for (std::size_t start = 0; start <= text.size();) {
        const auto end = std::min(text.find('/', start), text.size());
        const std::string_view part = text.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part != "..") {
            parts.push_back(part);
        } else if (parts.empty()) {
            error = EXDEV;
            return std::nullopt;
        } else {
            parts.pop_back();
        }
    }
    std::string resolved;
    for (const auto part : parts) {
        if (!resolved.empty()) resolved += '/';
        resolved += part;
    }
    return resolved;
}

}  // namespace

Library::Library(std::string path) : path_(std::move(path)) {
    fd_ = open_trusted_path(path_, error_, foreign_link_);
}

Fd Library::open_dir(std::string_view relative, int& error) const {
    return open_in_pieces(fd_.get(), relative, O_PATH | O_DIRECTORY, kNoLinks, error);
}

Fd Library::open_source(int dir, const std::string& name, const std::string& relative,
                        std::string& reason) const {
    constexpr int kHops = 40;
    // Each link on the way is read and followed by us, so that the link whose owner is judged
    // is the one followed; its target is then opened beneath the library, with no link in it.
    std::string at = relative;
    int error = 0;
    Fd node(open_beneath(dir, name, O_PATH | O_NOFOLLOW, kNoLinks));
    if (!node) error = errno;
    std::vector<uid_t> link_owners;
    struct stat st {};
    while (node) {
        if (::fstat(node.get(), &st) != 0) {
            error = errno;
            node.reset();
        } else if (!S_ISLNK(st.st_mode)) {
            break;
        } else if (static_cast<int>(link_owners.size()) == kHops) {
            error = ELOOP;
            node.reset();
        } else {
            link_owners.push_back(st.st_uid);
            const std::optional<std::string> next = link_target(node.get(), at, path_, error);
            node.reset();
            if (next) {
                at = *next;
                node = open_in_pieces(fd_.get(), at, O_PATH | O_NOFOLLOW, kNoLinks, error);
            }
        }
    }
    if (!node) {
        reason = error == EXDEV ? "the link leads outside the library" : std::strerror(error);
        return Fd();
    }
    // Real music is never sparse: a huge file of holes would only keep sox busy.
    constexpr off_t kSparseFrom = 16 << 20;
    if (!S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return Fd();
    }
    for (const uid_t owner : link_owners) {
        // The kernel's rule for links in shared folders: a writer's link leads only to the
        // writer's own files, or anyone could publish what they cannot read.
        if (owner != 0 && owner != st.st_uid) {
            reason = "a link to a file its owner does not own";
            return Fd();
        }
    }
    if (st.st_size > kSparseFrom && st.st_blocks * 512 < st.st_size / 2) {
        reason = "a sparse file";
        return Fd();
    }
    // Reopened through the descriptor itself: the very file that was judged, without blocking.
    const std::string self = "/proc/self/fd/" + std::to_string(node.get());
    Fd mp3(::open(self.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!mp3) reason = std::strerror(errno);
    return mp3;
}

}  // namespace moh
