// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/stat.h>

#include <string>

#include "process/fd.h"

namespace moh {

// Enough of a file's status to tell that it is still the very same file with the same content:
// a file replaced, rewritten or truncated, even with its old time stamp put back (cp -p,
// rsync -a), gets a new inode or a new change time, which no one can set back.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    static FileIdentity of(const struct stat& st) {
        return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    }
    bool operator==(const FileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

// An output being written: a file in the output's directory that has no name yet, so that no
// one can open it, and a reader of the previous output never sees it half-written. It appears
// under its final name in one step, or not at all.
class StagedOutput {
  public:
    // Creates the unnamed file in `dir`, 0600. Where the filesystem has no unnamed files, it
    // falls back to a hidden name of its own, which the destructor removes unless it was
    // published. Check ok().
    explicit StagedOutput(int dir);
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;
    ~StagedOutput();

    bool ok() const { return static_cast<bool>(fd_); }
    int error() const { return error_; }
    int fd() const { return fd_.get(); }

    // Hands the file to `owner` and `group` with `mode`, as a file of theirs would be; called
    // when it is written, just before it is published. Returns 0 or the errno of the failure
    // (EDQUOT when it would take the owner over quota).
    int give_to(uid_t owner, gid_t group, mode_t mode);

    // Gives the file `name` in its directory, replacing whatever stands there: a link, a hard
    // link or a FIFO is replaced, never written through. Returns 0 or the errno of the failure,
    // after which nothing of this file is left in the directory.
    int publish(const std::string& name);

  private:
    int dir_;
    Fd fd_;
    int error_ = 0;
    std::string hidden_name_;  // only on filesystems without unnamed files
};

}  // namespace moh
