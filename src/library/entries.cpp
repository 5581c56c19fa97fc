// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/entries.h"

#include <fcntl.h>

#include <cerrno>
#include <vector>

namespace moh {
namespace {

// A name holding more newlines than this is not pieced together from the listing's lines.
constexpr int kJoinLimit = 16;

}  // namespace

bool ListedEntries::next(Entry& entry) {
    std::string line;
    do {
        if (!reader_.next(line)) return false;
    } while (line.size() < 2);
    entry = locate(line);
    if (!entry.inside) return true;
    if (entry.error == 0) {
        join_following(entry);
    } else if (entry.error == ENOENT && entry.dir) {
        piece_together(entry);
    }
    return true;
}

Entry ListedEntries::locate(const std::string& line) {
    Entry entry;
    entry.line = line;
    entry.inside = is_library_entry(line, library_.path());
    if (!entry.inside) return entry;
    const std::string relative = line.substr(library_.path().size() + 1);
    const auto slash = relative.rfind('/');
    if (slash != std::string::npos) entry.dir_relative = relative.substr(0, slash);
    entry.name = relative.substr(slash == std::string::npos ? 0 : slash + 1);
    int error = 0;
    const auto dir = open_dir(entry.dir_relative, error);
    if (!*dir) {
        // A folder part that names nothing leaves the entry without a directory.
        entry.error = error == ENOTDIR ? ENOENT : error;
        return entry;
    }
    entry.dir = dir;
    if (::fstatat(dir->get(), entry.name.c_str(), &entry.st, AT_SYMLINK_NOFOLLOW) != 0)
        entry.error = errno == ENOTDIR ? ENOENT : errno;
    return entry;
}

bool ListedEntries::continues(const std::string& line) const {
    const std::string& lib = library_.path();
    return !(line.size() > lib.size() && line.compare(0, lib.size(), lib) == 0 &&
             line[lib.size()] == '/');
}

// "Song" beside "Song\nB.mp3": the line naming Song is followed by "B.mp3", which find would
// never print on its own.
void ListedEntries::join_following(Entry& entry) {
    std::vector<std::string> read;
    std::string line;
    while (static_cast<int>(read.size()) < kJoinLimit && reader_.next(line)) {
        if (!continues(line)) {
            reader_.put_back(std::move(line));
            break;
        }
        read.push_back(std::move(line));
    }
    // The longest name that exists wins; lines it leaves are lines of their own.
    std::size_t used = read.size();
    for (; used > 0; --used) {
        std::string joined = entry.line;
        for (std::size_t i = 0; i < used; ++i) joined += "\n" + read[i];
        Entry candidate = locate(joined);
        if (candidate.inside && candidate.error == 0) {
            entry = std::move(candidate);
            break;
        }
    }
    for (std::size_t i = read.size(); i > used; --i) reader_.put_back(std::move(read[i - 1]));
}

// A line that names nothing is the start of a name that holds a newline: it is joined with the
// next lines while their directory exists. Lines read in vain are put back.
void ListedEntries::piece_together(Entry& entry) {
    std::vector<std::string> read;
    std::string joined = entry.line;
    for (int pieces = 0; pieces < kJoinLimit; ++pieces) {
        std::string piece;
        if (!reader_.next(piece)) break;
        read.push_back(piece);
        joined += '\n';
        joined += piece;
        Entry candidate = locate(joined);
        if (!candidate.inside || (!candidate.dir && candidate.error == ENOENT)) break;
        if (candidate.error != ENOENT) {
            entry = std::move(candidate);
            return;
        }
    }
    for (auto piece = read.rbegin(); piece != read.rend(); ++piece) {
        reader_.put_back(std::move(*piece));
    }
}

std::shared_ptr<const Fd> ListedEntries::open_dir(const std::string& relative, int& error) {
    if (!cached_dir_ || relative != cached_path_) {
        cached_error_ = 0;
        cached_dir_ = std::make_shared<const Fd>(library_.open_dir(relative, cached_error_));
        cached_path_ = relative;
    }
    error = cached_error_;
    return cached_dir_;
}

}  // namespace moh
