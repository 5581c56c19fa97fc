// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& content);
// 16-bit samples as the bytes of a headerless little-endian file.
std::string little_endian(const std::vector<int16_t>& samples);
// Whole content; empty unless the path is a readable regular file.
std::string read_file(const std::string& path);
bool exists(const std::string& path);
// Names in a directory, sorted, without "." and "..".
std::string list_dir(const std::string& path);

struct Outcome {
    int status;  // exit status, or 128 + signal
    std::string output;
};
// Runs a command line through sh with stdout captured (add 2>&1 for stderr).
Outcome run_shell(const std::string& command_line);

}  // namespace test
