#include "library/update_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "process/fd.h"
#include "process/log.h"

namespace moh {
namespace {

constexpr const char* kFileName = "record";
constexpr const char* kHeader = "moh-convert update record 1";
// A record larger than this is not ours: no library has that many MP3s.
constexpr off_t kSizeLimit = 64 << 20;

// FNV-1a: stable from build to build, which std::hash is not bound to be.
std::string digest(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return format_text("%016" PRIx64, hash);
}

std::string encode(const FileIdentity& file) {
    return format_text("%ju:%ju:%jd:%jd:%ld:%jd:%ld", static_cast<uintmax_t>(file.device),
                       static_cast<uintmax_t>(file.inode), static_cast<intmax_t>(file.size),
                       static_cast<intmax_t>(file.modified.tv_sec), file.modified.tv_nsec,
                       static_cast<intmax_t>(file.changed.tv_sec), file.changed.tv_nsec);
}

bool decode(const std::string& text, FileIdentity& file) {
    uintmax_t device, inode;
    intmax_t size, modified, changed;
    long modified_ns, changed_ns;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%ju:%ju:%jd:%jd:%ld:%jd:%ld%n", &device, &inode, &size,
                    &modified, &modified_ns, &changed, &changed_ns, &consumed) != 7 ||
        static_cast<std::size_t>(consumed) != text.size()) {
        return false;
    }
    file = {static_cast<dev_t>(device),
            static_cast<ino_t>(inode),
            static_cast<off_t>(size),
            {static_cast<time_t>(modified), modified_ns},
            {static_cast<time_t>(changed), changed_ns}};
    return true;
}

std::vector<std::string> split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
    return fields;
}

// The state directory, made root-only: it is refused when it is a link or someone else's.
Fd open_state_dir(const std::string& path, bool create) {
    if (create) ::mkdir(path.c_str(), 0700);
    Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (dir && (::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid() ||
                ((st.st_mode & 077) != 0 && ::fchmod(dir.get(), 0700) != 0))) {
        errno = EPERM;
        dir.reset();
    }
    return dir;
}

}  // namespace

std::string UpdateRecord::recipe(const std::string& converter_path) {
    std::string text = "sox:" + conversion_commands() + ";converter:" + converter_path;
    struct stat st {};
    if (::stat(converter_path.c_str(), &st) == 0) text += " " + encode(FileIdentity::of(st));
    return digest(text);
}

UpdateRecord::UpdateRecord(std::string dir, std::string recipe, std::string& warning)
    : dir_(std::move(dir)), recipe_(std::move(recipe)) {
    const std::string path = dir_ + "/" + kFileName;
    const Fd state = open_state_dir(dir_, false);
    if (!state) {
        if (errno != ENOENT) warning = format_text("%s: %s", dir_.c_str(), std::strerror(errno));
        return;
    }
    const Fd file(::openat(state.get(), kFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!file) {
        if (errno != ENOENT) warning = format_text("%s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kSizeLimit) {
        warning = path + ": not a record of ours";
        return;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    if (::pread(file.get(), text.data(), text.size(), 0) != st.st_size) {
        warning = path + ": cannot be read whole";
        return;
    }
    const std::vector<std::string> lines = split(text, '\n');
    if (lines.size() < 2 || lines[0] != kHeader || lines[1].rfind("recipe ", 0) != 0) {
        warning = path + ": corrupt";
        return;
    }
    // Made with other commands or another converter: every entry is stale.
    if (lines[1] != "recipe " + recipe_) return;
    std::map<std::string, Entry> entries;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::vector<std::string> fields = split(lines[i], '\t');
        Entry entry;
        entry.outputs.resize(kOutputFormats.size());
        bool good = fields.size() == 2 + kOutputFormats.size() && !fields[0].empty() &&
                    decode(fields[1], entry.mp3);
        for (std::size_t f = 0; good && f < kOutputFormats.size(); ++f) {
            good = decode(fields[2 + f], entry.outputs[f]);
        }
        if (!good) {
            warning = path + ": corrupt";
            return;
        }
        entries[fields[0]] = entry;
    }
    before_ = std::move(entries);
}

bool UpdateRecord::current(const std::string& relative, int mp3, int dir, const std::string& stem) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = before_.find(relative);
    struct stat st {};
    if (found == before_.end() || ::fstat(mp3, &st) != 0 ||
        !(FileIdentity::of(st) == found->second.mp3)) {
        return false;
    }
    for (std::size_t f = 0; f < kOutputFormats.size(); ++f) {
        const std::string name = stem + "." + std::string(kOutputFormats[f]);
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            !(FileIdentity::of(st) == found->second.outputs[f])) {
            return false;
        }
    }
    now_[relative] = found->second;
    return true;
}

void UpdateRecord::converted(const std::string& relative, int mp3, const FileIdentity& opened,
                             const ConversionResult& result) {
    struct stat st {};
    // Rewritten while it was converted: some outputs may be of the old content.
    if (!result.complete || result.outputs.size() != kOutputFormats.size() ||
        ::fstat(mp3, &st) != 0 || !(FileIdentity::of(st) == opened)) {
        return;
    }
    Entry entry{FileIdentity::of(st), {}};
    for (const auto& output : result.outputs) entry.outputs.push_back(output.identity);
    const std::lock_guard<std::mutex> lock(mutex_);
    now_[relative] = entry;
}

int UpdateRecord::save() const {
    std::string text = std::string(kHeader) + "\nrecipe " + recipe_ + "\n";
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [relative, entry] : now_) {
            if (relative.find_first_of("\t\n") != std::string::npos) continue;
            text += relative + "\t" + encode(entry.mp3);
            for (const auto& output : entry.outputs) text += "\t" + encode(output);
            text += "\n";
        }
    }
    const Fd state = open_state_dir(dir_, true);
    if (!state) return errno;
    StagedOutput staged(state.get());
    if (!staged.ok()) return staged.error();
    if (::fchmod(staged.fd(), 0600) != 0) return errno;
    if (const int error = write_all(staged.fd(), text)) return error;
    if (::fsync(staged.fd()) != 0) return errno;
    return staged.publish(kFileName);
}

}  // namespace moh
