// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/listing.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "library/sources.h"
#include "process/log.h"

namespace moh {
namespace {

// Creates the listing file afresh: whatever stands at the path is removed first, and the file is
// created only where nothing stands, so that nothing planted there is written through.
Fd create_listing_file(const std::string& path, int& error) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    const Fd parent(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent) {
        error = errno;
        return Fd();
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        int removed = ::unlinkat(parent.get(), name.c_str(), 0) == 0 ? 0 : errno;
        if (removed == EISDIR) {
            removed = ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
        }
        // A read-only or failing /tmp is no one's doing but the machine's: say so.
        if (removed != 0 && removed != ENOENT && removed != ENOTEMPTY && removed != EEXIST &&
            removed != EPERM && removed != EACCES && removed != EBUSY) {
            error = removed;
            return Fd();
        }
        Fd file(::openat(parent.get(), name.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file || errno != EEXIST) {
            if (!file) error = errno;
            return file;
        }
    }
    // Someone else's non-empty directory, say: no local user may stop the run.
    Fd unnamed(::memfd_create("moh-xx", MFD_CLOEXEC));
    if (!unnamed) error = errno;
    return unnamed;
}

// Writes everything it is given to the listing, and remembers the first write that failed.
class ListingWriter {
  public:
    explicit ListingWriter(int fd) : fd_(fd) {}
    void operator()(std::string_view bytes) {
        if (error_ == 0) error_ = write_all(fd_, bytes);
    }
    int error() const { return error_; }

  private:
    int fd_;
    int error_ = 0;
};

// find's -printf format that prints an entry by the library's path and then `end`.
std::string by_library_path(const std::string& library_dir, const char* end) {
    std::string format;
    for (const char c : library_dir) {
        if (c == '%' || c == '\\') format += c;
        format += c;
    }
    return format + "/%P" + end;
}

}  // namespace

Child listing_command(const Settings& settings, int library) {
    // A hidden folder is listed but never entered: what a trash or a Mac's metadata holds is
    // not music, and renaming it would break their restore.
    Child find{{"find", ".", "-maxdepth", std::to_string(kListingDepth), "-mindepth", "1", "(",
                "-type", "d", "-name", ".*", "-prune"},
               {},
               library};
    for (const SourceType& type : source_types())
        find.argv.insert(find.argv.end(), {"-o", "-iname", "*." + std::string(type.extension)});
    for (const char* pattern : {"*.ulaw", "*.alaw", "*.gsm", "*.wav", "*.WAV", "*."})
        find.argv.insert(find.argv.end(), {"-o", "-name", pattern});
    find.argv.insert(find.argv.end(),
                     {")", "-printf", by_library_path(settings.library_dir, "\\n")});
    return find;
}

Fd make_listing(const Settings& settings, int library, Runner& runner, std::string& failure) {
    const std::string& path = settings.listing_path;
    int error = 0;
    Fd listing = create_listing_file(path, error);
    if (!listing) {
        failure =
            format_text("Couldn't write the listing %s: %s", path.c_str(), std::strerror(error));
        return listing;
    }
    // find writes into a pipe that we copy into the listing, so that every write's outcome is
    // ours to check: a listing cut short by a full disk is never walked.
    ListingWriter writer(listing.get());
    const ChildResult result = runner.run(listing_command(settings, library),
                                          [&](std::string_view bytes) { writer(bytes); });
    const int status = result.wait_status;
    if (result.interrupted) {
        failure.clear();
    } else if (writer.error() != 0) {
        failure = format_text("Couldn't write the listing %s: %s", path.c_str(),
                              std::strerror(writer.error()));
    } else if (WIFSIGNALED(status)) {
        failure = format_text("Couldn't write the listing %s: find killed by signal %d",
                              path.c_str(), WTERMSIG(status));
    } else if (!result.refused.empty()) {
        failure =
            format_text("Couldn't write the listing %s: %s", path.c_str(), result.refused.c_str());
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        failure = format_text("Couldn't write the listing %s: find could not be run", path.c_str());
    } else if (::lseek(listing.get(), 0, SEEK_SET) == 0) {
        return listing;
    } else {
        failure =
            format_text("Couldn't write the listing %s: %s", path.c_str(), std::strerror(errno));
    }
    return Fd();
}

std::string first_directory_past_depth(const Settings& settings, int library, Runner& runner) {
    // Any path one level past the listing's depth, outside hidden folders as the listing is.
    std::string past = ".";
    for (int level = 0; level <= kListingDepth; ++level) past += "/*";
    const Child probe{
        {"find", ".", "-mindepth", "1", "-maxdepth", std::to_string(kListingDepth + 1), "(",
         "-type", "d", "-name", ".*", "-prune", "-o", "-path", past, "-printf",
         by_library_path(settings.library_dir, "\\0"), "-quit", ")"},
        {},
        library};
    std::string found;
    bool complete = false;
    runner.run(probe, [&](std::string_view bytes) {
        if (complete) return;
        const auto end = bytes.find('\0');
        found.append(bytes.substr(0, std::min(end, std::size_t{PATH_MAX} * 4 - found.size())));
        complete = end != std::string_view::npos || found.size() >= std::size_t{PATH_MAX} * 4;
    });
    if (!complete) return {};
    const auto slash = found.rfind('/');
    return slash == std::string::npos ? std::string() : found.substr(0, slash);
}

ListingReader::ListingReader(Fd listing) : file_(::fdopen(listing.get(), "r"), &std::fclose) {
    if (file_) listing.release();
}

ListingReader::~ListingReader() {
    std::free(buffer_);
}

bool ListingReader::next(std::string& line) {
    if (!pending_.empty()) {
        line = std::move(pending_.front());
        pending_.pop_front();
        return true;
    }
    if (!file_) return false;
    ssize_t length = ::getline(&buffer_, &capacity_, file_.get());
    if (length < 0) return false;
    if (length > 0 && buffer_[length - 1] == '\n') --length;
    line.assign(buffer_, static_cast<std::size_t>(length));
    return true;
}

ListedSources count_sources(int listing, const std::string& library_dir) {
    ListedSources count;
    std::string line;
    const auto judge = [&] {
        if (is_library_entry(line, library_dir)) {
            if (is_wav_name(line))
                ++count.wav;
            else if (is_mp3_name(line))
                ++count.mp3;
            else if (source_type(line) != nullptr)
                ++count.other;
        }
        line.clear();
    };
    char buffer[64 * 1024];
    off_t at = 0;
    for (ssize_t n; (n = ::pread(listing, buffer, sizeof buffer, at)) > 0; at += n) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                judge();
            } else if (line.size() < 8192) {
                line += buffer[i];
            }
        }
    }
    judge();
    return count;
}

bool is_library_entry(const std::string& line, const std::string& library_dir) {
    if (line.size() <= library_dir.size() + 1 ||
        line.compare(0, library_dir.size(), library_dir) != 0 || line[library_dir.size()] != '/' ||
        line.find('\0') != std::string::npos) {
        return false;
    }
    std::string_view rest(line);
    rest.remove_prefix(library_dir.size() + 1);
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view component = rest.substr(0, slash);
        if (component == "." || component == ".." || component.empty()) return false;
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return true;
}

}  // namespace moh
