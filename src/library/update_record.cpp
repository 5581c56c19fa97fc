// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/update_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "process/fd.h"
#include "process/log.h"

namespace moh {
namespace {

constexpr const char* kFileName = "record";
constexpr const char* kHeader = "moh-convert update record 2";
constexpr const char* kOldHeader = "moh-convert update record 1";
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

// Names that were unsafe may hold any byte, tabs and newlines too.
std::string to_hex(const std::string& bytes) {
    std::string text;
    for (const unsigned char c : bytes) text += format_text("%02x", c);
    return text;
}

bool from_hex(const std::string& text, std::string& bytes) {
    if (text.size() % 2 != 0) return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) return false;
        bytes += static_cast<char>(value);
    }
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

std::string UpdateRecord::recipe(const Settings& settings, const std::vector<std::string>& formats,
                                 std::optional<double> level) {
    std::string text = "sox:" + conversion_commands() + ";formats:";
    for (const std::string& format : formats) text += format + ",";
    if (level) text += format_text(";level:%g", *level);
    for (const std::string* converter : {&settings.converter_path, &settings.g729_converter_path}) {
        text += ";converter:" + *converter;
        struct stat st {};
        if (::stat(converter->c_str(), &st) == 0) text += " " + encode(FileIdentity::of(st));
    }
    return digest(text);
}

std::string UpdateRecord::file_name(const std::string& library_dir, bool default_library) {
    return default_library ? kFileName : std::string(kFileName) + "-" + digest(library_dir);
}

std::string UpdateRecord::key_of(int dir, const std::string& name) {
    struct stat st {};
    if (::fstat(dir, &st) != 0) return {};
    return format_text("%ju:%ju/", static_cast<uintmax_t>(st.st_dev),
                       static_cast<uintmax_t>(st.st_ino)) +
           name;
}

UpdateRecord::UpdateRecord(std::string dir, std::string name, std::string recipe,
                           std::vector<std::string> formats, std::string& warning)
    : dir_(std::move(dir)),
      name_(std::move(name)),
      recipe_(std::move(recipe)),
      formats_(std::move(formats)) {
    const std::string path = dir_ + "/" + name_;
    const Fd state = open_state_dir(dir_, false);
    if (!state) {
        if (errno != ENOENT) warning = format_text("%s: %s", dir_.c_str(), std::strerror(errno));
        return;
    }
    const Fd file(::openat(state.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!file) {
        if (errno != ENOENT) warning = format_text("%s: %s", path.c_str(), std::strerror(errno));
        return;
    }
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kSizeLimit) {
        warning = path + ": not a record of ours";
        return;
    }
    // Read a line at a time: a record of many renames is large, and only its entries are kept.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(
        ::fdopen(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0), "r"), &std::fclose);
    char* buffer = nullptr;
    std::size_t capacity = 0;
    const auto next_line = [&](std::string& line) {
        const ssize_t length = in ? ::getline(&buffer, &capacity, in.get()) : -1;
        if (length < 0) return false;
        line.assign(buffer, static_cast<std::size_t>(length));
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return true;
    };
    std::string header, recipe_line;
    const bool read = next_line(header);
    // The first kind of record knew MP3s by path, which no longer names them: it is stale.
    if (read && header == kOldHeader) {
        std::free(buffer);
        return;
    }
    if (!read || header != kHeader || !next_line(recipe_line) ||
        recipe_line.rfind("recipe ", 0) != 0) {
        std::free(buffer);
        warning = path + ": corrupt";
        return;
    }
    // Made with other commands, converters, formats or level: no conversion is current.
    const bool same_recipe = recipe_line == "recipe " + recipe_;
    std::map<std::string, Entry> entries;
    std::map<std::string, Rename> renames;
    for (std::string line; next_line(line);) {
        const std::vector<std::string> fields = split(line, '\t');
        bool good = fields.size() >= 2 && !fields[1].empty();
        if (good && fields[0] == "source") {
            // Kept whatever the recipe: which outputs are ours stays true.
            Entry entry;
            good = fields.size() >= 4 && decode(fields[2], entry.source) &&
                   (fields[3] == "complete" || fields[3] == "partial");
            entry.complete = good && fields[3] == "complete" && same_recipe;
            for (std::size_t f = 4; good && f < fields.size(); ++f) {
                const auto equals = fields[f].find('=');
                good = equals != std::string::npos &&
                       decode(fields[f].substr(equals + 1), entry.outputs[fields[f].substr(0, equals)]);
            }
            if (good) entries[fields[1]] = std::move(entry);
        } else if (good && fields[0] == "renamed") {
            Rename rename;
            good = fields.size() == 4 && from_hex(fields[2], rename.from) &&
                   decode(fields[3], rename.file);
            if (good) renames[fields[1]] = std::move(rename);
        } else {
            good = false;
        }
        if (!good) {
            std::free(buffer);
            warning = path + ": corrupt";
            return;
        }
    }
    std::free(buffer);
    before_ = std::move(entries);
    renames_before_ = std::move(renames);
}

bool UpdateRecord::current(const std::string& key, int mp3, int dir, const std::string& stem) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = before_.find(key);
    if (found == before_.end() || !found->second.complete) return false;
    auto node = before_.extract(found);
    const Entry& entry = node.mapped();
    struct stat st {};
    if (::fstat(mp3, &st) != 0 || !(FileIdentity::of(st) == entry.source)) return false;
    for (const std::string& format : formats_) {
        const std::string name = stem + "." + format;
        const auto output = entry.outputs.find(format);
        if (output == entry.outputs.end() ||
            ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            !(FileIdentity::of(st) == output->second)) {
            return false;
        }
    }
    now_.insert(std::move(node));
    return true;
}

void UpdateRecord::converted(const std::string& key, int mp3, const FileIdentity& opened,
                             const ConversionResult& result) {
    struct stat st {};
    // Rewritten while it was converted: some outputs may be of the old content.
    const bool unchanged = ::fstat(mp3, &st) == 0 && FileIdentity::of(st) == opened;
    Entry entry{opened, {}, false};
    for (const auto& output : result.outputs) entry.outputs[output.format] = output.identity;
    entry.complete = result.complete && unchanged && entry.outputs.size() == formats_.size();
    const std::lock_guard<std::mutex> lock(mutex_);
    before_.erase(key);
    now_[key] = std::move(entry);
}

bool UpdateRecord::published(const std::string& key, const std::string& format,
                             const struct stat& st) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto* entries : {&now_, &before_}) {
        const auto found = entries->find(key);
        if (found == entries->end()) continue;
        const auto output = found->second.outputs.find(format);
        return output != found->second.outputs.end() && output->second == FileIdentity::of(st);
    }
    return false;
}

bool UpdateRecord::renamed_from(const std::string& key, const std::string& from,
                                const struct stat& now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto* renames : {&renames_now_, &renames_before_}) {
        const auto found = renames->find(key);
        if (found != renames->end())
            return found->second.from == from && found->second.file == FileIdentity::of(now);
    }
    return false;
}

void UpdateRecord::renamed(const std::string& key, const std::string& from,
                           const struct stat& now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    renames_before_.erase(key);
    renames_now_[key] = {from, FileIdentity::of(now)};
}

void UpdateRecord::passed(const std::string& key, const struct stat& now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = renames_before_.find(key);
    if (found == renames_before_.end()) return;
    auto node = renames_before_.extract(found);
    if (node.mapped().file == FileIdentity::of(now)) renames_now_.insert(std::move(node));
}

std::optional<std::string> UpdateRecord::source_of(const struct stat& st) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!indexed_) {
        for (const auto& [key, entry] : before_) {
            for (const auto& [format, output] : entry.outputs)
                output_index_[{output.device, output.inode}] = key;
        }
        indexed_ = true;
    }
    const auto found = output_index_.find({st.st_dev, st.st_ino});
    if (found == output_index_.end()) return std::nullopt;
    const auto entry = before_.find(found->second);
    if (entry == before_.end()) return std::nullopt;
    for (const auto& [format, output] : entry->second.outputs) {
        if (output == FileIdentity::of(st)) return found->second;
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, FileIdentity>> UpdateRecord::outputs_of(
    const std::string& key) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = before_.find(key);
    if (found == before_.end()) return {};
    return {found->second.outputs.begin(), found->second.outputs.end()};
}

void UpdateRecord::forget(const std::string& key) {
    const std::lock_guard<std::mutex> lock(mutex_);
    before_.erase(key);
}

int UpdateRecord::save(bool partial) const {
    const Fd state = open_state_dir(dir_, true);
    if (!state) return errno;
    StagedOutput staged(state.get());
    if (!staged.ok()) return staged.error();
    if (::fchmod(staged.fd(), 0600) != 0) return errno;
    // Written in pieces: the record is never held whole in memory.
    std::string text = std::string(kHeader) + "\nrecipe " + recipe_ + "\n";
    int error = 0;
    const auto flush = [&](std::size_t above) {
        if (error == 0 && text.size() > above) error = write_all(staged.fd(), text);
        if (text.size() > above) text.clear();
    };
    off_t written = 0;  // what a reader takes whole: renames beyond it are left out
    const auto write_entries = [&](const std::map<std::string, Entry>& entries) {
        for (const auto& [key, entry] : entries) {
            if (key.find_first_of("\t\n") != std::string::npos) continue;
            const std::size_t before = text.size();
            text += "source\t" + key + "\t" + encode(entry.source) + "\t" +
                    (entry.complete ? "complete" : "partial");
            for (const auto& [format, output] : entry.outputs)
                text += "\t" + format + "=" + encode(output);
            text += "\n";
            written += static_cast<off_t>(text.size() - before);
            flush(64 * 1024);
        }
    };
    const auto write_renames = [&](const std::map<std::string, Rename>& renames) {
        for (const auto& [key, rename] : renames) {
            if (key.find_first_of("\t\n") != std::string::npos) continue;
            const std::string line =
                "renamed\t" + key + "\t" + to_hex(rename.from) + "\t" + encode(rename.file) + "\n";
            // A writer's flood of unsafe names must not make the record one no run reads.
            if (written + static_cast<off_t>(line.size()) > kSizeLimit / 2) return;
            written += static_cast<off_t>(line.size());
            text += line;
            flush(64 * 1024);
        }
    };
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        write_entries(now_);
        // What this run never reached is as the last run left it.
        if (partial) write_entries(before_);
        write_renames(renames_now_);
        if (partial) write_renames(renames_before_);
    }
    flush(0);
    if (error != 0) return error;
    if (::fsync(staged.fd()) != 0) return errno;
    return staged.publish(name_);
}

}  // namespace moh
