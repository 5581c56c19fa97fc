#include "walk.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "sanitise.h"

namespace moh {
namespace {

using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

// Opens the listing only if it is a regular file: a directory planted there would open but
// read as an empty listing.
File open_listing(const std::string& path) {
    File file(std::fopen(path.c_str(), "r"), &std::fclose);
    struct stat st {};
    if (file && (::fstat(::fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode))) file.reset();
    return file;
}

// Reads whole lines, however long, into one buffer that grows as needed.
class LineReader {
  public:
    explicit LineReader(std::FILE* file) : file_(file) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader() { std::free(buffer_); }

    // False at end of file or on a read error. The line stays valid until the next call.
    bool next(std::string_view& line) {
        const ssize_t length = ::getline(&buffer_, &capacity_, file_);
        if (length < 0) return false;
        line = std::string_view(buffer_, static_cast<std::size_t>(length));
        return true;
    }

  private:
    std::FILE* file_;
    char* buffer_ = nullptr;
    std::size_t capacity_ = 0;
};

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

struct Counts {
    int converted = 0;
    int renamed = 0;
};

void walk_entry(std::string entry, Counts& counts, const Context& context) {
    if (!is_library_entry(entry, context.settings.library_dir)) {
        context.log.print("Ignoring listing line %s -- not under %s\n", entry.c_str(),
                          context.settings.library_dir.c_str());
        return;
    }
    switch (sanitise_path(entry, context.log)) {
        case SanitiseResult::kClean:
            break;
        case SanitiseResult::kRenamed:
            ++counts.renamed;
            break;
        case SanitiseResult::kRenameFailed:
            return;
    }

    // An entry inside the library always holds a slash.
    const auto slash = entry.rfind('/');
    const std::string dir = entry.substr(0, slash);
    const std::string base = entry.substr(slash + 1);
    if (!ends_with(base, ".mp3")) {
        context.log.print(
            "skipping non-mp3 file conversion of %s-- must already be asterisk compatible!\n",
            base.c_str());
        return;
    }
    // A FIFO would hang sox for good, and a directory or a dangling link only makes it fail.
    struct stat st {};
    const char* unconvertible = nullptr;
    if (::stat(entry.c_str(), &st) != 0) {
        unconvertible = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        unconvertible = "not a regular file";
    }
    if (unconvertible != nullptr) {
        context.log.print("Not converting %s -- %s\n", entry.c_str(), unconvertible);
        return;
    }
    ++counts.converted;
    double volume = 1.0;
    convert_mp3(dir, base.substr(0, base.size() - 4), volume, context);
}

}  // namespace

std::string listing_command(const Settings& settings) {
    return format_text(
        "find %s -name \\*.mp3 -o -name \\*.ulaw  -o -name \\*.alaw  -o -name \\*.gsm  -o -name "
        "\\*.wav  -o -name \\*.WAV  -o -name \\*. > %s 2>&1",
        settings.library_dir.c_str(), settings.listing_path.c_str());
}

bool is_library_entry(const std::string& entry, const std::string& library_dir) {
    if (entry.size() <= library_dir.size() + 1 ||
        entry.compare(0, library_dir.size(), library_dir) != 0 ||
        entry[library_dir.size()] != '/' || entry.find('\0') != std::string::npos) {
        return false;
    }
    std::string_view rest(entry);
    rest.remove_prefix(library_dir.size() + 1);
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view component = rest.substr(0, slash);
        if (component == "." || component == "..") return false;
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return true;
}

int run_walk(const Context& context) {
    const std::string& listing_path = context.settings.listing_path;
    remove_redirect_target(listing_path);
    run_command(listing_command(context.settings), context);

    const File listing = open_listing(listing_path);
    if (!listing) {
        context.log.print("Couldn't open %s\n", listing_path.c_str());
        return kExitListingUnreadable;
    }

    Counts counts;
    LineReader reader(listing.get());
    std::string_view line;
    while (reader.next(line)) {
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (line.size() < 2) continue;
        walk_entry(std::string(line), counts, context);
    }

    context.log.print("Found and converted %d mp3 files\n", counts.converted);
    context.log.print("CHanged name of %d files\n", counts.renamed);
    context.log.print("Now, to the db....\n");
    return 0;
}

}  // namespace moh
