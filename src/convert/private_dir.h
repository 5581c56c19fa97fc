// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <string>
#include <vector>

#include "process/fd.h"

namespace moh {

// One conversion's private directory under the work directory, removed with what it holds when
// done.
class PrivateDir {
  public:
    // Makes the directory `name` in `work_dir`, which the log shows as `work_path`.
    PrivateDir(int work_dir, const std::string& work_path, const std::string& name);
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;
    ~PrivateDir();

    // 0, or the errno of the failure to make it.
    int error() const { return error_; }
    const std::string& path() const { return path_; }

    // A path that opens, in any child, the descriptor the child has as 3; empty when it cannot be
    // made, and `error` says why.
    std::string link_to_input(const std::string& name, int& error);
    // A path the converter may write to.
    std::string path(const std::string& name);
    // A file with no name here, gone with its last descriptor, also when the run is killed.
    Fd unnamed_file(int& error);
    int fd() const { return fd_.get(); }

  private:
    int parent_;
    std::string name_;
    std::string path_;
    Fd fd_;
    int error_ = 0;
    std::vector<std::string> made_;
    int unnamed_ = 0;
};

}  // namespace moh
