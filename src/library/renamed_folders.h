// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "library/library.h"

namespace moh {

// The class folders that the first version of this command renamed and that musiconhold.conf
// in `asterisk_dir` may still name by their old names: for each files class whose folder is
// gone from `library` while the folder's safe name, one of `renamed` (relative to the library),
// stands there, the old path and the new one. Nothing when the configuration cannot be read.
std::vector<std::pair<std::string, std::string>> folders_renamed_before(
    const Library& library, const std::set<std::string>& renamed, const std::string& asterisk_dir);

}  // namespace moh
