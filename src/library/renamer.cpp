// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/renamer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "formats/outputs.h"
#include "library/sanitise.h"
#include "library/sources.h"
#include "library/update_record.h"

namespace moh {
namespace {

// How many numbered names a safe name may take before the rename is given up: a folder of
// thousands of colliding names costs no more than this many tries each.
constexpr int kMaxNumbered = 99;

std::pair<dev_t, ino_t> identity_of(int dir) {
    struct stat st {};
    if (::fstat(dir, &st) != 0) return {0, 0};
    return {st.st_dev, st.st_ino};
}

// The safe names of the sources in `dir` that may be converted, the ones they have or will have
// once renamed, by stem.
std::map<std::string, std::string> mp3_names_in(int dir) {
    std::map<std::string, std::string> names;
    const int listing = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return names;
    const std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing), &::closedir);
    if (!entries) {
        ::close(listing);
        return names;
    }
    while (const dirent* found = ::readdir(entries.get())) {
        const std::string safe = sanitised_copy(found->d_name);
        if (const SourceType* type = source_type(safe); type != nullptr && !type->sox_type.empty())
            names.emplace(safe.substr(0, safe.rfind('.')), safe);
    }
    return names;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::string Renamer::full(const std::string& dir_relative, const std::string& name) const {
    return library_dir_ + "/" + (dir_relative.empty() ? name : dir_relative + "/" + name);
}

bool Renamer::give_safe_name(Log& log, int dir, const std::string& dir_relative, std::string& name,
                             std::string& shown, const struct stat& st, std::string* left_alone) {
    std::string safe = sanitised_copy(name);
    shown = name;
    if (safe == name || S_ISDIR(st.st_mode)) {
        const std::string line = "Leave the name " + full(dir_relative, name) + " alone\n";
        if (left_alone != nullptr)
            *left_alone = line;
        else
            log.info("%s", line.c_str());
        if (record_ != nullptr) record_->passed(UpdateRecord::key_of(dir, name), dir, name);
        return true;
    }
    std::string reason;
    bool replaced = false;
    if (const auto mp3 = conversion_taking(dir, safe)) {
        reason = "the name is taken by the conversion of " + *mp3;
    } else {
        // Two unsafe names may have one safe name (Müller and Möller): the second takes the first
        // free one of NAME_2.EXT, NAME_3.EXT, ... and the file that holds the name stays.
        const auto dot = safe.rfind('.');
        const std::string stem = dot == std::string::npos || dot == 0 ? safe : safe.substr(0, dot);
        const std::string extension = safe.substr(stem.size());
        int error = 0;
        for (int number = 2;; ++number) {
            error = dry_run_ ? would_rename(dir, name, safe, replaced)
                             : rename_now(dir, name, safe, replaced);
            if (error != EEXIST || number > kMaxNumbered) break;
            safe = stem + "_" + std::to_string(number) + extension;
            // A numbered name is as much an output's name as the one it stands for.
            if (const auto mp3 = conversion_taking(dir, safe)) {
                reason = "the name is taken by the conversion of " + *mp3;
                break;
            }
        }
        if (reason.empty() && error != 0) reason = std::strerror(error);
    }
    const std::string from = full(dir_relative, name);
    const std::string to = full(dir_relative, safe);
    if (!reason.empty()) {
        log.failure("Couldn't rename %s => %s: %s\n", from.c_str(), to.c_str(), reason.c_str());
        return false;
    }
    log.info("%s %s => %s%s\n", dry_run_ ? "Would change" : "Changed", from.c_str(), to.c_str(),
             replaced ? " (replacing the earlier upload)" : "");
    ++renamed_;
    shown = safe;
    if (!dry_run_) {
        struct stat now {};
        if (record_ != nullptr && ::fstatat(dir, safe.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0)
            record_->renamed(UpdateRecord::key_of(dir, safe), name, dir, safe, now);
        name = safe;
    }
    return true;
}

int Renamer::rename_now(int dir, const std::string& from, const std::string& to, bool& replaced) {
    if (::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EEXIST) return errno;
    struct stat before {};
    if (!earlier_upload(dir, from, to, before)) return EEXIST;
    // Exchanged, not replaced: the file that leaves the safe name is checked once it can no
    // longer change, and put back unless it is the earlier upload as it was judged.
    if (::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_EXCHANGE) != 0) return errno;
    struct stat left {};
    if (::fstatat(dir, from.c_str(), &left, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(left, before) ||
        !S_ISREG(left.st_mode) || left.st_size != before.st_size ||
        left.st_mtim.tv_sec != before.st_mtim.tv_sec ||
        left.st_mtim.tv_nsec != before.st_mtim.tv_nsec) {
        ::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_EXCHANGE);
        return EEXIST;
    }
    if (::unlinkat(dir, from.c_str(), 0) != 0) return errno;
    replaced = true;
    return 0;
}

bool Renamer::earlier_upload(int dir, const std::string& from, const std::string& to,
                             struct stat& earlier) {
    struct stat upload {
    }, folder{};
    if (record_ == nullptr || ::fstatat(dir, to.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(earlier.st_mode) ||
        ::fstatat(dir, from.c_str(), &upload, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(upload.st_mode) || ::fstat(dir, &folder) != 0) {
        return false;
    }
    // In a sticky folder only a file's owner, the folder's or root may remove it: the uploader
    // gets no more from us than the kernel would give.
    if ((folder.st_mode & S_ISVTX) != 0 && upload.st_uid != 0 && upload.st_uid != earlier.st_uid &&
        upload.st_uid != folder.st_uid) {
        return false;
    }
    return record_->renamed_from(UpdateRecord::key_of(dir, to), from, dir, to);
}

int Renamer::would_rename(int dir, const std::string& from, const std::string& to, bool& replaced) {
    const auto [device, inode] = identity_of(dir);
    const Place made{device, inode, to};
    struct stat st {};
    if (foreseen_.count(made) != 0) return EEXIST;
    if (::fstatat(dir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && vacated_.count(made) == 0) {
        if (!earlier_upload(dir, from, to, st)) return EEXIST;
        replaced = true;
    }
    if (::faccessat(dir, ".", W_OK, 0) != 0) return errno;
    foreseen_.insert(made);
    vacated_.insert({device, inode, from});
    return 0;
}

std::optional<std::string> Renamer::conversion_taking(int dir, const std::string& name) {
    std::string stem;
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 &&
        is_output_format(std::string_view(name).substr(dot + 1)))
        stem = name.substr(0, dot);
    if (stem.empty()) return std::nullopt;
    // Each directory is read once a run: a writer's folder of thousands of such names must not
    // cost a reading of the folder each.
    const auto key = identity_of(dir);
    auto found = mp3_names_.find(key);
    if (found == mp3_names_.end()) found = mp3_names_.emplace(key, mp3_names_in(dir)).first;
    const auto mp3 = found->second.find(stem);
    if (mp3 == found->second.end()) return std::nullopt;
    return mp3->second;
}

}  // namespace moh
