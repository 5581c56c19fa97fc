// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "process/fd.h"

namespace moh {

// The music-on-hold directory, held open for the whole run. Every entry is reached beneath this
// descriptor, never by a path that a library writer could swap for a link between a check and
// its use.
class Library {
  public:
    // Opens the directory, following a link on its path only when the link is root's own:
    // administrators keep music on another disk, but a folder above the library may belong to
    // one of its writers. Check ok(); error() is the errno of a failed open (EPERM for a link
    // of someone else's, which foreign_link() then names).
    explicit Library(std::string path);

    bool ok() const { return static_cast<bool>(fd_); }
    int error() const { return error_; }
    // The link that root does not own where the open stopped, by the path it was met at (links
    // before it followed); empty when no such link stopped it.
    const std::string& foreign_link() const { return foreign_link_; }
    const std::string& path() const { return path_; }
    int fd() const { return fd_.get(); }

    // The directory `relative` ("" for the library itself) beneath the library, with no link
    // anywhere on the way. On failure returns no descriptor and sets `error`: ENOENT or ENOTDIR
    // when it names nothing, ELOOP when a link stands in the way.
    Fd open_dir(std::string_view relative, int& error) const;

    // Opens the file `name` in `dir` (at `relative` in the library) for reading, without
    // blocking on a FIFO. A link is followed only while it stays inside the library, and only
    // when root owns it or its owner owns the file it leads to; a sparse file is refused. On
    // failure returns no descriptor and sets `reason`.
    Fd open_source(int dir, const std::string& name, const std::string& relative,
                   std::string& reason) const;

  private:
    std::string path_;
    Fd fd_;
    int error_ = 0;
    std::string foreign_link_;
};

}  // namespace moh
