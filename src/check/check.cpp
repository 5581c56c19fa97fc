// SPDX-License-Identifier: GPL-2.0-or-later
#include "check/check.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "asterisk/config.h"
#include "formats/outputs.h"
#include "formats/playable.h"
#include "library/library.h"
#include "library/sources.h"
#include "library/update_record.h"
#include "process/log.h"
#include "settings.h"

namespace moh {
namespace {

using Identity = std::pair<dev_t, ino_t>;

// A name as the check prints it: escaped like the log's, and without the "|" that would start
// performance data on a line a monitoring system reads.
std::string shown(const std::string& text) {
    std::string out;
    for (const char c : escape_name(text))
        out += c == '|' ? std::string("\\x7c") : std::string(1, c);
    return out;
}

std::string extension_of(const std::string& name) {
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

std::string stem_of(const std::string& name) {
    return name.substr(0, name.rfind('.'));
}

// Whether Asterisk would try `name` as music: the formats it plays from files.
bool is_audio_name(const std::string& name) {
    return frame_bytes(extension_of(name)) != 0 || is_wav_name(name);
}

// Whether the file `name`, open as `fd` (or not readable here, -1), is one the command converts,
// whose outputs Asterisk plays instead of it.
bool is_source(const std::string& name, int fd) {
    if (const SourceType* type = source_type(name); type != nullptr && !type->sox_type.empty())
        return true;
    return is_wav_name(name) && fd >= 0 && judge_playable(name, fd).convertible;
}

// Why the file `name`, open as `fd` with status `st`, plays as noise or not at all; empty when
// it plays. Without `fd` (this account may not read it), by its size alone.
std::string fault_of(const std::string& name, int fd, const struct stat& st) {
    if (st.st_size == 0) return "empty";
    const std::size_t frame = frame_bytes(extension_of(name));
    if (frame > 1 && st.st_size % static_cast<off_t>(frame) != 0) {
        return format_text("%lld bytes, not a whole number of %zu-byte frames",
                           static_cast<long long>(st.st_size), frame);
    }
    if (fd < 0) return {};
    const Playability judged = judge_playable(name, fd);
    return judged.plays ? std::string() : judged.reason;
}

struct Folder {
    bool music = false;  // holds a source, or a file Asterisk would try
    int playable = 0;    // files Asterisk can open and play
    std::vector<std::string> subfolders;
};

class Checker {
  public:
    Checker(const CheckPaths& paths, const Library& library)
        : paths_(paths), library_(library), account_(asterisk_account(paths.asterisk_conf)) {
        std::string warning, upgraded;
        // The record is root's: another account looks by the files' times alone.
        record_.emplace(paths.state_dir, library.fd(), library.path(), paths.default_library,
                        std::string(), paths.formats, warning, upgraded, true);
        if (!account_) {
            note(
                format_text("Not checked: what Asterisk may read -- no runuser in %s and no "
                            "account asterisk",
                            shown(paths.asterisk_conf).c_str()));
        }
    }

    // Checks every folder beneath the library; the ones that hold music, by identity.
    void check_library() {
        std::string denied;
        // Asterisk reaches the library by its path, through every folder above it.
        for (std::size_t slash = 0; denied.empty() && slash != std::string::npos;) {
            const std::string above = library_.path().substr(0, std::max<std::size_t>(slash, 1));
            struct stat st {};
            if (::stat(above.c_str(), &st) == 0 && !may(st, S_IXOTH))
                denied = "in " + shown(above) + ", " + access_text(st);
            slash = library_.path().find('/', slash + 1);
        }
        walk(library_.fd(), "", denied, 0);
    }

    // Checks the mode=files classes of `sections`, each over its directory=.
    void check_classes(const std::vector<ConfigSection>& sections) {
        const std::string data_dir = asterisk_data_dir(paths_.asterisk_conf);
        const std::string file = shown(paths_.musiconhold_conf);
        std::set<Identity> named;
        for (const ConfigSection& section : sections) {
            if (!is_files_class(section)) continue;
            ++classes_;
            const std::string label = "[" + shown(section.name) + "]";
            if (section.value("random").value_or("") == "yes") {
                ++ignored_;
                finding(kCheckWarning,
                        format_text("Ignored setting: random=yes in class %s of %s -- Asterisk "
                                    "23 ignores it; use sort=random",
                                    label.c_str(), file.c_str()));
            }
            const std::string dir = class_folder(section, data_dir);
            if (dir.empty()) {
                silent(label, "", "it names no directory");
                continue;
            }
            const Library other(dir);
            struct stat st {};
            if (!other.ok() || ::fstat(other.fd(), &st) != 0) {
                const int error = other.ok() ? errno : other.error();
                if (error == ENOENT || error == ENOTDIR)
                    silent(label, dir, "no such folder");
                else
                    cannot_read(dir, std::strerror(error));
                continue;
            }
            const Identity identity{st.st_dev, st.st_ino};
            named.insert(identity);
            auto found = by_identity_.find(identity);
            // Outside the library: looked at on its own, as Asterisk reads it.
            if (found == by_identity_.end())
                found = remember(identity, dir, check_folder(other, other.fd(), dir, "", ""));
            if (folders_[found->second].folder.playable == 0)
                silent(label, dir, "nothing in it that Asterisk can play");
        }
        for (const Outcome& outcome : folders_) {
            if (outcome.folder.music && named.count(outcome.identity) == 0) {
                note(format_text("No class plays: %s -- no mode=files class in %s names it",
                                 shown(outcome.path).c_str(), file.c_str()));
            }
        }
    }

    // Without Asterisk's classes, every folder that holds music is one.
    void count_folders_as_classes() {
        for (const Outcome& outcome : folders_) {
            if (!outcome.folder.music) continue;
            ++classes_;
            if (outcome.folder.playable == 0)
                silent("", outcome.path, "nothing in it that Asterisk can play");
        }
    }

    int print(std::FILE* out) const {
        const int status = worst_;
        static const char* const kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
        const auto count = [](int n, const char* one, const char* many) {
            return format_text("%d %s", n, n == 1 ? one : many);
        };
        std::string text =
            count(classes_, "class", "classes") + ", " + count(tracks_, "track", "tracks");
        if (status == kCheckOk) text += ", every format current";
        const std::pair<int, std::string> parts[] = {
            {silent_, count(silent_, "silent class", "silent classes")},
            {unread_, count(unread_, "place not read", "places not read")},
            {missing_, count(missing_, "output missing", "outputs missing")},
            {stale_, format_text("%d stale", stale_)},
            {unreadable_, format_text("%d not readable by %s", unreadable_,
                                      account_ ? shown(account_->name).c_str() : "Asterisk")},
            {unplayable_, format_text("%d unplayable", unplayable_)},
            {ignored_, count(ignored_, "ignored setting", "ignored settings")},
        };
        for (const auto& [n, part] : parts) {
            if (n > 0) text += ", " + part;
        }
        std::fprintf(out, "MOH %s - %s | classes=%d tracks=%d missing=%d stale=%d unplayable=%d\n",
                     kNames[status], text.c_str(), classes_, tracks_, missing_, stale_,
                     unplayable_);
        for (const std::string& line : lines_) std::fprintf(out, "%s\n", line.c_str());
        return status;
    }

    // A line that changes no status.
    void note(const std::string& line) { lines_.push_back(line); }

  private:
    struct Outcome {
        Identity identity;
        std::string path;
        Folder folder;
    };

    std::map<Identity, std::size_t>::iterator remember(const Identity& identity,
                                                       const std::string& path,
                                                       const Folder& folder) {
        folders_.push_back({identity, path, folder});
        return by_identity_.emplace(identity, folders_.size() - 1).first;
    }

    void finding(int status, const std::string& line) {
        // A check that could not look says less than one that found silence.
        if (status == kCheckCritical || (status == kCheckUnknown && worst_ != kCheckCritical) ||
            (status == kCheckWarning && worst_ == kCheckOk))
            worst_ = status;
        lines_.push_back(line);
    }
    void cannot_read(const std::string& path, const std::string& reason) {
        ++unread_;
        finding(kCheckUnknown,
                format_text("Cannot read: %s -- %s", shown(path).c_str(), reason.c_str()));
    }
    void silent(const std::string& label, const std::string& dir, const std::string& why) {
        ++silent_;
        std::string line = "Silent class";
        if (!label.empty()) line += " " + label;
        if (!dir.empty()) line += (label.empty() ? ": " : " over ") + shown(dir);
        finding(kCheckCritical, line + " -- " + why);
    }

    // Whether Asterisk's account has all of `bits` (as S_I?OTH) on a file of status `st`.
    bool may(const struct stat& st, mode_t bits) const {
        return !account_ || account_->may(st, bits);
    }

    void walk(int dir, const std::string& relative, const std::string& denied_above, int depth) {
        const std::string path =
            relative.empty() ? library_.path() : library_.path() + "/" + relative;
        struct stat st {};
        if (::fstat(dir, &st) != 0) return cannot_read(path, std::strerror(errno));
        std::string denied = denied_above;
        if (denied.empty() && !may(st, S_IXOTH))
            denied = "in " + shown(path) + ", " + access_text(st);
        const Folder folder = check_folder(library_, dir, path, relative, denied);
        remember({st.st_dev, st.st_ino}, path, folder);
        if (depth >= kListingDepth) return;
        for (const std::string& name : folder.subfolders) {
            const std::string below = relative.empty() ? name : relative + "/" + name;
            int error = 0;
            const Fd sub = library_.open_dir(below, error);
            if (!sub)
                cannot_read(path + "/" + name, std::strerror(error));
            else
                walk(sub.get(), below, denied, depth + 1);
        }
    }

    // The names in `dir`, sorted; false when it cannot be listed.
    bool names_in(int dir, const std::string& path, std::vector<std::string>& names) {
        const int listed = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* stream = listed >= 0 ? ::fdopendir(listed) : nullptr;
        if (stream == nullptr) {
            const int error = errno;
            if (listed >= 0) ::close(listed);
            cannot_read(path, std::strerror(error));
            return false;
        }
        const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, &::closedir);
        while (const dirent* entry = ::readdir(stream)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return true;
    }

    Folder check_folder(const Library& library, int dir, const std::string& path,
                        const std::string& relative, std::string denied) {
        Folder folder;
        std::vector<std::string> names;
        if (!names_in(dir, path, names)) return folder;
        struct stat st {};
        // Asterisk lists the folder of a class, and needs to enter it.
        if (denied.empty() && ::fstat(dir, &st) == 0 && !may(st, S_IROTH | S_IXOTH))
            denied = access_text(st);
        const auto open = [&](const std::string& name, std::string& reason) {
            return library.open_source(dir, name, relative.empty() ? name : relative + "/" + name,
                                       reason);
        };
        std::map<std::string, std::string> sources;  // by stem, the first of each
        std::vector<std::string> others;
        const auto has_outputs = [&](const std::string& stem) {
            return std::any_of(paths_.formats.begin(), paths_.formats.end(), [&](const auto& f) {
                struct stat output {};
                return ::fstatat(dir, (stem + "." + f).c_str(), &output, AT_SYMLINK_NOFOLLOW) == 0;
            });
        };
        for (const std::string& name : names) {
            if (name.front() == '.' || ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                folder.subfolders.push_back(name);
                continue;
            }
            std::string reason;
            const Fd file = is_wav_name(name) ? open(name, reason) : Fd();
            // A WAV this account may not read is a source where outputs of it stand.
            if (is_source(name, file.get()) ||
                (is_wav_name(name) && !file && has_outputs(stem_of(name))))
                sources.emplace(stem_of(name), name);
            else if (is_audio_name(name))
                others.push_back(name);
        }
        const std::string at = path + "/";
        if (!denied.empty() && (!sources.empty() || !others.empty())) {
            ++unreadable_;
            finding(kCheckWarning,
                    format_text("Not readable by %s: %s -- %s", shown(account_->name).c_str(),
                                shown(path).c_str(), denied.c_str()));
        }
        // A file Asterisk would try by itself: whether it plays, with a finding when it does not.
        const auto judge = [&](const std::string& name, bool counts_as_track) {
            folder.music = true;
            std::string reason;
            const Fd file = open(name, reason);
            struct stat status {};
            if (!file || ::fstat(file.get(), &status) != 0) {
                // Not for this account to read: its status still tells most, but not a WAV's.
                const bool by_status =
                    reason == std::strerror(EACCES) && !is_wav_name(name) &&
                    ::fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISREG(status.st_mode);
                if (!by_status) {
                    if (reason == std::strerror(EACCES)) {
                        cannot_read(at + name, reason);
                    } else {
                        ++unplayable_;
                        finding(kCheckWarning,
                                format_text("Not playable by Asterisk: %s -- %s",
                                            shown(at + name).c_str(), reason.c_str()));
                    }
                    return false;
                }
            }
            if (const std::string fault = fault_of(name, file.get(), status); !fault.empty()) {
                ++unplayable_;
                finding(kCheckWarning, format_text("Not playable by Asterisk: %s -- %s",
                                                   shown(at + name).c_str(), fault.c_str()));
                return false;
            }
            if (counts_as_track) ++tracks_;
            if (!denied.empty()) return false;
            if (!may(status, S_IROTH)) {
                ++unreadable_;
                finding(kCheckWarning,
                        format_text("Not readable by %s: %s -- %s", shown(account_->name).c_str(),
                                    shown(at + name).c_str(), access_text(status).c_str()));
                return false;
            }
            ++folder.playable;
            return true;
        };
        std::set<std::string> standalone;  // stems already counted as tracks
        for (const std::string& name : others) {
            const auto source = sources.find(stem_of(name));
            const bool output = std::find(paths_.formats.begin(), paths_.formats.end(),
                                          extension_of(name)) != paths_.formats.end();
            if (source != sources.end() && (output || name == source->second)) continue;
            judge(name, standalone.insert(stem_of(name)).second);
        }
        for (const auto& [stem, name] : sources) {
            folder.music = true;
            ++tracks_;
            std::string reason;
            check_outputs(dir, at, stem, name, open(name, reason), judge);
        }
        return folder;
    }

    template <typename Judge>
    void check_outputs(int dir, const std::string& at, const std::string& stem,
                       const std::string& source_name, const Fd& source_file, Judge& judge) {
        struct stat source {};
        if (source_file ? ::fstat(source_file.get(), &source) != 0
                        : ::fstatat(dir, source_name.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0)
            return;
        // What the record knew of the source, when this account may read both.
        std::optional<UpdateRecord::KnownSource> known;
        if (source_file)
            known =
                record_->known_source(UpdateRecord::key_of(dir, source_name), source_file.get());
        for (const std::string& format : paths_.formats) {
            const std::string name = stem + "." + format;
            struct stat output {};
            if (::fstatat(dir, name.c_str(), &output, AT_SYMLINK_NOFOLLOW) != 0) {
                ++missing_;
                finding(kCheckWarning, "Output missing: " + shown(at + name));
                continue;
            }
            judge(name, false);
            if (known && !known->unchanged) {
                ++stale_;
                finding(kCheckWarning,
                        format_text("Output stale: %s -- %s changed since it was converted",
                                    shown(at + name).c_str(), shown(source_name).c_str()));
                continue;
            }
            if (known) {
                const auto published = known->outputs.find(format);
                if (published != known->outputs.end() &&
                    still_known_at(published->second, dir, name))
                    continue;
            }
            const auto older = [](const timespec& a, const timespec& b) {
                return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
            };
            if (older(output.st_mtim, source.st_mtim)) {
                ++stale_;
                finding(kCheckWarning,
                        format_text("Output stale: %s -- older than %s", shown(at + name).c_str(),
                                    shown(source_name).c_str()));
            }
        }
    }

    const CheckPaths& paths_;
    const Library& library_;
    std::optional<AsteriskAccount> account_;
    std::optional<UpdateRecord> record_;
    std::vector<Outcome> folders_;  // in the order they were checked
    std::map<Identity, std::size_t> by_identity_;
    std::vector<std::string> lines_;
    int worst_ = kCheckOk;
    int classes_ = 0, tracks_ = 0, missing_ = 0, stale_ = 0, unreadable_ = 0, unplayable_ = 0;
    int silent_ = 0, ignored_ = 0, unread_ = 0;
};

}  // namespace

int run_check(const CheckPaths& paths, std::FILE* out) {
    const Library library(paths.library_dir);
    std::string failed;
    if (!library.ok()) {
        failed = library.error() == EPERM && !library.foreign_link().empty()
                     ? "a link of someone else's at " + shown(library.foreign_link())
                     : std::string(std::strerror(library.error()));
    } else if (const Fd listed(::openat(library.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
               !listed) {
        failed = std::strerror(errno);
    }
    if (!failed.empty()) {
        std::fprintf(out, "MOH UNKNOWN - cannot read the library %s: %s\n",
                     shown(paths.library_dir).c_str(), failed.c_str());
        return kCheckUnknown;
    }
    std::optional<std::vector<ConfigSection>> classes;
    int error = 0;
    if (!paths.musiconhold_conf.empty()) {
        classes = read_asterisk_config(paths.musiconhold_conf, error);
        if (!classes && paths.musiconhold_asked) {
            std::fprintf(out, "MOH UNKNOWN - cannot read %s: %s\n",
                         shown(paths.musiconhold_conf).c_str(), std::strerror(error));
            return kCheckUnknown;
        }
    }
    Checker checker(paths, library);
    // Asterisk's own file is often its account's alone: the folders stand in for its classes.
    if (!classes && !paths.musiconhold_conf.empty() && error != ENOENT) {
        checker.note(format_text("Not checked: the classes of %s -- %s",
                                 shown(paths.musiconhold_conf).c_str(), std::strerror(error)));
    }
    checker.check_library();
    if (classes)
        checker.check_classes(*classes);
    else
        checker.count_folders_as_classes();
    return checker.print(out);
}

}  // namespace moh
