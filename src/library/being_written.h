// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>

namespace moh {

// Whether some process holds the regular file `name` in `dir` open for writing: an upload still
// in progress. The kernel tells by refusing a read lease; where the filesystem has no leases
// (NFS), or the file cannot be opened, there is no telling and the answer is false.
bool still_being_written(int dir, const std::string& name);

}  // namespace moh
