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
    // Opens the directory, following a link at its own path: administrators keep music on
    // another disk. Check ok(); error() is the errno of a failed open.
    explicit Library(std::string path);

    bool ok() const { return static_cast<bool>(fd_); }
    int error() const { return error_; }
    const std::string& path() const { return path_; }
    int fd() const { return fd_.get(); }

    // The directory `relative` ("" for the library itself) beneath the library, with no link
    // anywhere on the way. On failure returns no descriptor and sets `error`: ENOENT or ENOTDIR
    // when it names nothing, ELOOP when a link stands in the way.
    Fd open_dir(std::string_view relative, int& error) const;

    // Opens the MP3 at `relative` for reading, without blocking on a FIFO. A link is followed
    // only while it stays inside the library. On failure returns no descriptor and sets `reason`.
    Fd open_mp3(const std::string& relative, std::string& reason) const;

  private:
    std::string path_;
    Fd fd_;
    int error_ = 0;
};

}  // namespace moh
