// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/prune.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace moh {

bool Pruner::consider(int dir, const std::string& dir_relative, const std::string& name,
                      const struct stat& st) {
    const std::optional<std::string> key = record_.source_of(dir, name, st);
    // The record knows sources by their directory: an output elsewhere is not this source's.
    if (!key || key->rfind(UpdateRecord::key_of(dir, ""), 0) != 0) return false;
    const std::string format = name.substr(name.rfind('.') + 1);
    const std::vector<std::string>& made = record_.formats();
    if (std::find(made.begin(), made.end(), format) == made.end())
        unmade_.push_back({dir_relative, *key, name, format});
    if (keys_.insert(*key).second) orphans_.push_back({dir_relative, *key});
    return true;
}

int Pruner::prune(Log& log, int& unmade) {
    int removed = 0;
    const auto path_of = [&](const std::string& dir_relative, const std::string& name) {
        return library_.path() + (dir_relative.empty() ? "" : "/" + dir_relative) + "/" + name;
    };
    // Whether `dir_relative` is still the directory of the source `key`.
    const auto open_dir = [&](const std::string& dir_relative, const std::string& key) {
        int error = 0;
        Fd dir = library_.open_dir(dir_relative, error);
        if (dir && UpdateRecord::key_of(dir.get(), "") != key.substr(0, key.find('/') + 1))
            dir.reset();
        return dir;
    };
    for (const Orphan& orphan : orphans_) {
        const Fd dir = open_dir(orphan.dir_relative, orphan.key);
        if (!dir) continue;
        const std::string source = orphan.key.substr(orphan.key.find('/') + 1);
        struct stat st {};
        // Only a source that is certainly gone: another error says nothing.
        if (::fstatat(dir.get(), source.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
            continue;
        const std::string stem = source.substr(0, source.rfind('.'));
        for (auto [format, known] : record_.outputs_of(orphan.key)) {
            const std::string name = stem + "." + format;
            // Replaced or edited since: the administrator's now.
            if (!still_known_at(known, dir.get(), name)) continue;
            if (!dry_run_ && ::unlinkat(dir.get(), name.c_str(), 0) != 0) continue;
            log.info("%s %s -- its source %s is gone\n", dry_run_ ? "Would remove" : "Removed",
                     path_of(orphan.dir_relative, name).c_str(), source.c_str());
            ++removed;
        }
        if (!dry_run_) record_.forget(orphan.key);
    }
    for (const Unmade& output : unmade_) {
        const Fd dir = open_dir(output.dir_relative, output.key);
        if (!dir || !record_.still_output(output.key, output.format, dir.get(), output.name) ||
            (!dry_run_ && ::unlinkat(dir.get(), output.name.c_str(), 0) != 0))
            continue;
        log.info("%s %s -- .%s is no longer made\n", dry_run_ ? "Would remove" : "Removed",
                 path_of(output.dir_relative, output.name).c_str(), output.format.c_str());
        ++unmade;
    }
    return removed;
}

int remove_outputs(UpdateRecord& record, Log& log, int dir, const std::string& dir_path,
                   const std::string& key, const std::string& shown, OutputsRemoved which,
                   bool dry_run) {
    const bool unmade = which == OutputsRemoved::kUnmade;
    const std::string stem = shown.substr(0, shown.rfind('.'));
    const std::vector<std::string>& made = record.formats();
    const auto outputs = record.outputs_of(key);
    int removed = 0;
    for (const auto& [format, known] : outputs) {
        const std::string name = stem + "." + format;
        if ((unmade && std::find(made.begin(), made.end(), format) != made.end()) ||
            !record.still_output(key, format, dir, name) ||
            (!dry_run && ::unlinkat(dir, name.c_str(), 0) != 0))
            continue;
        const char* removal = dry_run ? "Would remove" : "Removed";
        if (unmade) {
            log.info("%s %s/%s -- .%s is no longer made\n", removal, dir_path.c_str(), name.c_str(),
                     format.c_str());
        } else {
            log.info("%s %s/%s -- its source %s now plays as it is\n", removal, dir_path.c_str(),
                     name.c_str(), shown.c_str());
        }
        ++removed;
    }
    if (!unmade && !outputs.empty() && !dry_run) record.forget(key);
    return removed;
}

}  // namespace moh
