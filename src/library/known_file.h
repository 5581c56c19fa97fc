// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "convert/staged_output.h"

namespace moh {

// What the update record knows of a file, a source as converted or an output as published: its
// status then, and a digest of what it held. The status alone says "unchanged" cheaply; where it
// no longer matches (a chown changes the change time, a restore the inode) the bytes decide.
// SHA-256 of a file's content, held inline: a record holds seven for every source.
using Digest = std::optional<std::array<std::uint8_t, 32>>;

struct KnownFile {
    FileIdentity identity;
    Digest digest;  // nothing when not known

    // "STATUS,DIGEST", as the record holds it; false for a text that is not one.
    std::string encode() const;
    static bool decode(const std::string& text, KnownFile& file);
};

// SHA-256 of the first `size` bytes of `fd`; nothing when they cannot all be read.
Digest content_digest(int fd, off_t size);

// Whether the regular file `fd`, whose status is `now`, is still `known`: the same status, or
// else the same size and the same digest, after which `known` takes the new status. A writer
// cannot make another content pass for `known`: the digest is a cryptographic one.
bool still_known(KnownFile& known, int fd, const struct stat& now);
// The same for `name` in `dir`, opened without following a link or waiting on a FIFO.
bool still_known_at(KnownFile& known, int dir, const std::string& name);

}  // namespace moh
