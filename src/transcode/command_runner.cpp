#include "command_runner.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace moh {

int ShellRunner::run(const std::string& command_line) {
    constexpr int kShellMissing = 127 << 8;
    const char* argv[] = {"sh", "-c", command_line.c_str(), nullptr};
    pid_t pid;
    // posix_spawn takes char* const[] for historical reasons; it does not modify the strings.
    if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
        return kShellMissing;
    }
    int status;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kShellMissing;
    }
    return status;
}

}  // namespace moh
