// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>

namespace moh {

// Whether some process holds a file open for writing: an upload still in progress.
enum class Writing {
    kNo,       // nobody, or the filesystem has no leases (NFS) and there is no telling
    kYes,      // the kernel refused a read lease: a writer has it open
    kUnknown,  // a lease could not be asked for (no CAP_LEASE in a sandbox): `error` says why
};

// Asks the kernel, by a read lease, about the regular file `name` in `dir`. A file that cannot
// be opened, or is no regular file, is kNo: the walk judges it on its own.
Writing still_being_written(int dir, const std::string& name, int& error);

}  // namespace moh
