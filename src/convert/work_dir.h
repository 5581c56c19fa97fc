// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>

#include "process/fd.h"

namespace moh {

// The root-only directory that holds each conversion's private paths and intermediate audio. It
// lives on disk beside the update record, never in /run: what it holds grows with a track. It is
// made afresh for each run, so that what a killed run left there goes, and removed after it.
class WorkDir {
  public:
    // Makes `path` (and its parent, root-only, when missing). Check error().
    explicit WorkDir(const std::string& path);
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    ~WorkDir();

    int fd() const { return fd_.get(); }
    // 0, or the errno of what failed; EPERM when the parent is not root's alone.
    int error() const { return error_; }

  private:
    std::string path_;
    Fd fd_;
    int error_ = 0;
};

}  // namespace moh
