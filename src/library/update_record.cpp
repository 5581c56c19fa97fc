// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/update_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <utility>

#include "process/fd.h"
#include "process/log.h"

namespace moh {
namespace {

constexpr const char* kFileName = "record";
constexpr const char* kHeader = "moh-convert update record 3";
// The previous version: statuses without digests, and a name by the path to the library.
constexpr const char* kPreviousHeader = "moh-convert update record 2";
constexpr const char* kOldHeader = "moh-convert update record 1";
// A record larger than this is not ours: no library has that many MP3s.
constexpr off_t kSizeLimit = 64 << 20;

// FNV-1a: stable from build to build, which std::hash is not bound to be. It names nothing a
// writer chooses, so it needs no strength.
std::string digest(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return format_text("%016" PRIx64, hash);
}

// The status alone, as the recipe names a converter by it.
std::string encode(const FileIdentity& file) {
    const std::string text = KnownFile{file, {}}.encode();
    return text.substr(0, text.size() - 1);
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
Fd open_state_dir(const std::string& path, bool create, bool look_only = false) {
    if (create) ::mkdir(path.c_str(), 0700);
    Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (dir && (::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid() ||
                ((st.st_mode & 077) != 0 && (look_only || ::fchmod(dir.get(), 0700) != 0)))) {
        errno = EPERM;
        dir.reset();
    }
    return dir;
}

}  // namespace

std::string UpdateRecord::recipe(const Settings& settings, const std::vector<std::string>& formats,
                                 std::optional<double> level, bool seamless) {
    std::string text = "sox:" + conversion_commands() + ";formats:";
    for (const std::string& format : formats) text += format + ",";
    if (level) text += format_text(";level:%g", *level);
    // Only when on, so that the records of runs without it stay current.
    if (seamless) {
        text += ";seamless:" + command_line(resample_command("IN", kRates[0], true)) +
                format_text(",fade-out %g", kSeamless.fade_out);
    }
    for (const std::string* converter : {&settings.converter_path, &settings.g729_converter_path}) {
        text += ";converter:" + *converter;
        struct stat st {};
        if (::stat(converter->c_str(), &st) == 0) text += " " + encode(FileIdentity::of(st));
    }
    return digest(text);
}

std::string UpdateRecord::file_name(int library) {
    struct stat st {};
    if (::fstat(library, &st) != 0) return {};
    return format_text("%s-%ju-%ju", kFileName, static_cast<uintmax_t>(st.st_dev),
                       static_cast<uintmax_t>(st.st_ino));
}

std::string UpdateRecord::key_of(int dir, const std::string& name) {
    struct stat st {};
    if (::fstat(dir, &st) != 0) return {};
    return format_text("%ju:%ju/", static_cast<uintmax_t>(st.st_dev),
                       static_cast<uintmax_t>(st.st_ino)) +
           name;
}

UpdateRecord::UpdateRecord(std::string dir, int library, const std::string& library_path,
                           bool default_library, std::string recipe,
                           std::vector<std::string> formats, std::string& warning,
                           std::string& upgraded, bool look_only)
    : dir_(std::move(dir)),
      name_(file_name(library)),
      recipe_(std::move(recipe)),
      formats_(std::move(formats)) {
    const Fd state = open_state_dir(dir_, false, look_only);
    if (!state) {
        if (errno != ENOENT) warning = format_text("%s: %s", dir_.c_str(), std::strerror(errno));
        return;
    }
    std::string name = name_;
    Fd file(::openat(state.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file && errno == ENOENT) {
        name = default_library ? kFileName : std::string(kFileName) + "-" + digest(library_path);
        file.reset(::openat(state.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    }
    const std::string path = dir_ + "/" + name;
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
    const std::unique_ptr<char*, void (*)(char**)> owned(&buffer, [](char** b) { std::free(*b); });
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
        if (name != name_) previous_name_ = name;
        upgraded = path + " is of the first version, which knew sources by their paths";
        // It knew each source by its path, folders renamed on the way.
        for (std::string line; next_line(line);) {
            const std::string path = line.substr(0, line.find('\t'));
            for (auto slash = path.find('/'); slash != std::string::npos;
                 slash = path.find('/', slash + 1))
                first_version_folders_.insert(path.substr(0, slash));
        }
        return;
    }
    const bool previous = read && header == kPreviousHeader;
    if (!read || (header != kHeader && !previous) || !next_line(recipe_line) ||
        recipe_line.rfind("recipe ", 0) != 0) {
        warning = path + ": corrupt";
        return;
    }
    // Made with other commands, converters, formats or level: no conversion is current. Nor is
    // one the previous version recorded, which knew no digests.
    const bool same_recipe = recipe_line == "recipe " + recipe_ && !previous;
    std::map<std::string, Entry> entries;
    std::map<std::string, Rename> renames;
    std::map<std::string, std::string> earlier;
    for (std::string line; next_line(line);) {
        const std::vector<std::string> fields = split(line, '\t');
        bool good = fields.size() >= 2 && !fields[1].empty();
        if (good && fields[0] == "source") {
            // Kept whatever the recipe: which outputs are ours stays true.
            Entry entry;
            intmax_t failed = 0;
            int consumed = 0;
            good = fields.size() >= 4 && KnownFile::decode(fields[2], entry.source) &&
                   (fields[3] == "complete" || fields[3] == "partial" ||
                    (std::sscanf(fields[3].c_str(), "failed@%jd%n", &failed, &consumed) == 1 &&
                     static_cast<std::size_t>(consumed) == fields[3].size() && failed > 0));
            entry.failed = static_cast<std::time_t>(failed);
            entry.complete = good && fields[3] == "complete" && same_recipe;
            // Another recipe may read what this one could not.
            if (!same_recipe) entry.failed = 0;
            for (std::size_t f = 4; good && f < fields.size(); ++f) {
                const auto equals = fields[f].find('=');
                good = equals != std::string::npos &&
                       KnownFile::decode(fields[f].substr(equals + 1),
                                         entry.outputs[fields[f].substr(0, equals)]);
            }
            if (good) entries[fields[1]] = std::move(entry);
        } else if (good && fields[0] == "renamed") {
            Rename rename;
            good = fields.size() == 4 && from_hex(fields[2], rename.from) &&
                   KnownFile::decode(fields[3], rename.file);
            if (good) renames[fields[1]] = std::move(rename);
            if (good && previous) earlier[fields[1]] = fields[2] + "\t" + fields[3];
        } else if (good && fields[0] == "earlier" && !previous) {
            good = fields.size() == 4;
            if (good) earlier[fields[1]] = fields[2] + "\t" + fields[3];
        } else {
            good = false;
        }
        if (!good) {
            warning = path + ": corrupt";
            return;
        }
    }
    before_ = std::move(entries);
    renames_before_ = std::move(renames);
    earlier_renames_ = std::move(earlier);
    if (previous) {
        previous_name_ = name;
        upgraded = path + " is of the previous version, which kept no digests";
    }
}

std::map<std::string, UpdateRecord::Entry>::iterator UpdateRecord::find_before(
    const std::string& key, int source) {
    auto found = before_.find(key);
    if (found != before_.end() || source < 0) return found;
    const std::string name = key.substr(key.find('/') + 1);
    struct stat st {};
    if (::fstat(source, &st) != 0) return found;
    if (!named_) {
        for (const auto& [known, entry] : before_)
            by_name_.emplace(known.substr(known.find('/') + 1), known);
        named_ = true;
    }
    Digest bytes;
    bool read = false;
    const auto [first, last] = by_name_.equal_range(name);
    for (auto candidate = first; candidate != last; ++candidate) {
        const auto known = before_.find(candidate->second);
        if (known == before_.end() || !known->second.source.digest ||
            known->second.source.identity.size != st.st_size)
            continue;
        if (!std::exchange(read, true)) bytes = content_digest(source, st.st_size);
        if (!bytes || bytes != known->second.source.digest) continue;
        // A copy, not a move: the folder it was known in may still be there.
        Entry copy = known->second;
        copy.source.identity = FileIdentity::of(st);
        return before_.emplace(key, std::move(copy)).first;
    }
    return found;
}

std::optional<std::time_t> UpdateRecord::failed_before(const std::string& key, int source) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = find_before(key, source);
    struct stat st {};
    if (found == before_.end() || found->second.failed == 0 || ::fstat(source, &st) != 0 ||
        !still_known(found->second.source, source, st))
        return std::nullopt;
    const std::time_t failed = found->second.failed;
    now_.insert(before_.extract(found));
    return failed;
}

bool UpdateRecord::current(const std::string& key, int source, int dir, const std::string& stem) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = find_before(key, source);
    if (found == before_.end() || !found->second.complete) return false;
    Entry& entry = found->second;
    struct stat st {};
    if (::fstat(source, &st) != 0 || !still_known(entry.source, source, st)) return false;
    for (const std::string& format : formats_) {
        const auto output = entry.outputs.find(format);
        if (output == entry.outputs.end() ||
            !still_known_at(output->second, dir, stem + "." + format))
            return false;
    }
    now_.insert(before_.extract(found));
    return true;
}

void UpdateRecord::converted(const std::string& key, int source, const FileIdentity& opened,
                             int dir, const std::string& stem, const ConversionResult& result) {
    struct stat st {};
    // Rewritten while it was converted: some outputs may be of the old content.
    const bool unchanged = ::fstat(source, &st) == 0 && FileIdentity::of(st) == opened;
    Entry entry{
        {opened, unchanged ? content_digest(source, opened.size) : std::nullopt}, {}, false};
    for (const auto& output : result.outputs) {
        KnownFile& known = entry.outputs[output.format];
        known.identity = output.identity;
        const std::string name = stem + "." + output.format;
        const Fd file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file && ::fstat(file.get(), &st) == 0 && FileIdentity::of(st) == output.identity)
            known.digest = content_digest(file.get(), st.st_size);
    }
    if (::fstat(source, &st) != 0 || !(FileIdentity::of(st) == opened)) entry.source.digest.reset();
    entry.complete = result.complete && unchanged && entry.source.digest &&
                     entry.outputs.size() == formats_.size();
    if (result.unreadable && entry.source.digest) entry.failed = std::time(nullptr);
    const std::lock_guard<std::mutex> lock(mutex_);
    // An earlier output that this conversion did not replace (its converter missing) is still
    // ours while it is as it was.
    if (const auto before = before_.find(key); before != before_.end()) {
        for (auto& [format, known] : before->second.outputs) {
            if (entry.outputs.count(format) == 0 &&
                std::find(formats_.begin(), formats_.end(), format) != formats_.end() &&
                still_known_at(known, dir, stem + "." + format))
                entry.outputs[format] = known;
        }
        before_.erase(before);
    }
    now_[key] = std::move(entry);
}

bool UpdateRecord::published(const std::string& key, int source, const std::string& format, int dir,
                             const std::string& name) {
    const std::lock_guard<std::mutex> lock(mutex_);
    auto found = now_.find(key);
    if (found == now_.end()) found = find_before(key, source);
    if (found == before_.end()) return false;
    const auto output = found->second.outputs.find(format);
    return output != found->second.outputs.end() && still_known_at(output->second, dir, name);
}

bool UpdateRecord::renamed_from(const std::string& key, const std::string& from, int dir,
                                const std::string& name) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto* renames : {&renames_now_, &renames_before_}) {
        const auto found = renames->find(key);
        if (found != renames->end())
            return found->second.from == from && still_known_at(found->second.file, dir, name);
    }
    return false;
}

void UpdateRecord::renamed(const std::string& key, const std::string& from, int dir,
                           const std::string& name, const struct stat& now) {
    Rename rename{from, {FileIdentity::of(now), {}}};
    const Fd file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file && ::fstat(file.get(), &st) == 0 && FileIdentity::of(st) == rename.file.identity &&
        S_ISREG(st.st_mode))
        rename.file.digest = content_digest(file.get(), st.st_size);
    const std::lock_guard<std::mutex> lock(mutex_);
    renames_before_.erase(key);
    renames_now_[key] = std::move(rename);
}

void UpdateRecord::passed(const std::string& key, int dir, const std::string& name) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = renames_before_.find(key);
    if (found == renames_before_.end()) return;
    auto node = renames_before_.extract(found);
    if (still_known_at(node.mapped().file, dir, name)) renames_now_.insert(std::move(node));
}

std::optional<std::string> UpdateRecord::source_of(int dir, const std::string& name,
                                                   const struct stat& st) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!indexed_) {
        for (const auto& [key, entry] : before_) {
            for (const auto& [format, output] : entry.outputs)
                output_index_[{output.identity.device, output.identity.inode}] = key;
        }
        indexed_ = true;
    }
    const auto found = output_index_.find({st.st_dev, st.st_ino});
    if (found == output_index_.end()) return std::nullopt;
    const auto entry = before_.find(found->second);
    if (entry == before_.end()) return std::nullopt;
    for (auto& [format, output] : entry->second.outputs) {
        if (output.identity == FileIdentity::of(st) ||
            (output.identity.inode == st.st_ino && output.identity.device == st.st_dev &&
             still_known_at(output, dir, name)))
            return found->second;
    }
    return std::nullopt;
}

std::optional<UpdateRecord::KnownSource> UpdateRecord::known_source(const std::string& key,
                                                                    int source) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = find_before(key, source);
    struct stat st {};
    if (found == before_.end() || ::fstat(source, &st) != 0) return std::nullopt;
    return KnownSource{still_known(found->second.source, source, st), found->second.outputs};
}

std::vector<std::pair<std::string, KnownFile>> UpdateRecord::outputs_of(
    const std::string& key) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = before_.find(key);
    if (found == before_.end()) return {};
    return {found->second.outputs.begin(), found->second.outputs.end()};
}

bool UpdateRecord::still_output(const std::string& key, const std::string& format, int dir,
                                const std::string& name) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto* entries : {&now_, &before_}) {
        const auto found = entries->find(key);
        if (found == entries->end()) continue;
        const auto output = found->second.outputs.find(format);
        return output != found->second.outputs.end() && still_known_at(output->second, dir, name);
    }
    return false;
}

void UpdateRecord::keep(const std::string& key) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (auto entry = before_.extract(key)) now_.insert(std::move(entry));
    if (auto rename = renames_before_.extract(key)) renames_now_.insert(std::move(rename));
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
            text += "source\t" + key + "\t" + entry.source.encode() + "\t" +
                    (entry.complete ? "complete"
                     : entry.failed != 0
                         ? format_text("failed@%jd", static_cast<intmax_t>(entry.failed))
                         : "partial");
            for (const auto& [format, output] : entry.outputs)
                text += "\t" + format + "=" + output.encode();
            text += "\n";
            written += static_cast<off_t>(text.size() - before);
            flush(64 * 1024);
        }
    };
    const auto write_line = [&](const std::string& line) {
        // A writer's flood of unsafe names must not make the record one no run reads.
        if (written + static_cast<off_t>(line.size()) > kSizeLimit / 2) return;
        written += static_cast<off_t>(line.size());
        text += line;
        flush(64 * 1024);
    };
    const auto write_renames = [&](const std::map<std::string, Rename>& renames) {
        for (const auto& [key, rename] : renames) {
            if (key.find_first_of("\t\n") == std::string::npos)
                write_line("renamed\t" + key + "\t" + to_hex(rename.from) + "\t" +
                           rename.file.encode() + "\n");
        }
    };
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        write_entries(now_);
        // What this run never reached is as the last run left it.
        if (partial) write_entries(before_);
        write_renames(renames_now_);
        if (partial) write_renames(renames_before_);
        for (const auto& [key, rest] : earlier_renames_) {
            if (key.find_first_of("\t\n") == std::string::npos)
                write_line("earlier\t" + key + "\t" + rest + "\n");
        }
    }
    flush(0);
    if (error != 0) return error;
    if (::fsync(staged.fd()) != 0) return errno;
    if (const int published = staged.publish(name_); published != 0) return published;
    // Read once: the next run reads the record just written.
    if (!previous_name_.empty()) ::unlinkat(state.get(), previous_name_.c_str(), 0);
    return 0;
}

}  // namespace moh
