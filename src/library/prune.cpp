// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/prune.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace moh {

void Pruner::consider(int dir, const std::string& dir_relative, const struct stat& st) {
    const std::optional<std::string> key = record_.source_of(st);
    // The record knows sources by their directory: an output elsewhere is not this source's.
    if (!key || key->rfind(UpdateRecord::key_of(dir, ""), 0) != 0) return;
    if (keys_.insert(*key).second) orphans_.push_back({dir_relative, *key});
}

int Pruner::prune(Log& log) {
    int removed = 0;
    for (const Orphan& orphan : orphans_) {
        int error = 0;
        const Fd dir = library_.open_dir(orphan.dir_relative, error);
        if (!dir ||
            UpdateRecord::key_of(dir.get(), "") != orphan.key.substr(0, orphan.key.find('/') + 1))
            continue;
        const std::string source = orphan.key.substr(orphan.key.find('/') + 1);
        struct stat st {};
        // Only a source that is certainly gone: another error says nothing.
        if (::fstatat(dir.get(), source.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
            continue;
        const std::string stem = source.substr(0, source.rfind('.'));
        const std::string dir_path =
            library_.path() + (orphan.dir_relative.empty() ? "" : "/" + orphan.dir_relative);
        for (const auto& [format, identity] : record_.outputs_of(orphan.key)) {
            const std::string name = stem + "." + format;
            if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(st.st_mode) || !(FileIdentity::of(st) == identity)) {
                continue;  // replaced or edited since: the administrator's now
            }
            if (!dry_run_ && ::unlinkat(dir.get(), name.c_str(), 0) != 0) continue;
            log.info("%s %s/%s -- its source %s is gone\n", dry_run_ ? "Would remove" : "Removed",
                     dir_path.c_str(), name.c_str(), source.c_str());
            ++removed;
        }
        if (!dry_run_) record_.forget(orphan.key);
    }
    return removed;
}

}  // namespace moh
