// SPDX-License-Identifier: GPL-2.0-or-later
#include "library/renamed_folders.h"

#include "asterisk/config.h"
#include "library/sanitise.h"

namespace moh {

std::vector<std::pair<std::string, std::string>> folders_renamed_before(
    const Library& library, const std::set<std::string>& renamed, const std::string& asterisk_dir) {
    std::vector<std::pair<std::string, std::string>> found;
    int error = 0;
    const auto sections = renamed.empty()
                              ? std::nullopt
                              : read_asterisk_config(asterisk_dir + "/musiconhold.conf", error);
    if (!sections) return found;
    const std::string data_dir = asterisk_data_dir(asterisk_dir + "/asterisk.conf");
    const std::string prefix = library.path() + "/";
    for (const ConfigSection& section : *sections) {
        if (!is_files_class(section)) continue;
        std::string dir = class_folder(section, data_dir);
        while (dir.size() > prefix.size() && dir.back() == '/') dir.pop_back();
        if (dir.size() <= prefix.size() || dir.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string old_name = dir.substr(prefix.size());
        const std::string safe = sanitised_copy(old_name);
        if (safe == old_name || renamed.count(safe) == 0 || library.open_dir(old_name, error) ||
            !library.open_dir(safe, error))
            continue;
        found.emplace_back(dir, prefix + safe);
    }
    return found;
}

}  // namespace moh
