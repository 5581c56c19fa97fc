// SPDX-License-Identifier: GPL-2.0-or-later
#include "process/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "process/fd.h"
#include "process/interrupt.h"
#include "process/log.h"

extern char** environ;

namespace moh {
namespace {

constexpr int kCannotStart = 127 << 8;  // what a shell reports for a program it cannot run
// Descriptors handed to a child are first moved this high, so that moving them to their
// numbers in the child cannot overwrite one another.
constexpr int kHandOverFloor = 64;

// The directory that holds `path` (absolute, without links).
std::string parent(const std::string& path) {
    const auto slash = path.rfind('/');
    return path.substr(0, slash == 0 ? 1 : slash);
}

constexpr const char* kSystemSearchPath[] = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                             "/usr/bin",        "/sbin",          "/bin"};

// Why someone other than root could change what `dir` (absolute, without links) holds; empty
// when only root can: root owns it and every directory above it, and no one else may write it,
// nor rename it or one above away (a sticky directory such as /tmp lets no one move what root
// owns there).
std::string others_change_dir(std::string dir) {
    for (bool first = true;; first = false) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0) return dir + ": " + std::strerror(errno);
        if (!S_ISDIR(st.st_mode)) return dir + " is not a directory";
        if (st.st_uid != 0) return format_text("%s belongs to uid %u", dir.c_str(), st.st_uid);
        const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (others_write && (first || (st.st_mode & S_ISVTX) == 0))
            return format_text("%s has mode %04o", dir.c_str(), st.st_mode & 07777);
        if (dir == "/") return {};
        dir = parent(dir);
    }
}

// The file a child runs: argv[0] when it names a path, else the first executable file of that
// name in `search_path`; empty when there is none.
std::string program_file(const std::string& name, const std::vector<std::string>& search_path) {
    if (name.find('/') != std::string::npos) return name;
    if (name.empty()) return {};
    for (const auto& dir : search_path) {
        const std::string file = dir + "/" + name;
        struct stat st {};
        if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(file.c_str(), X_OK) == 0) {
            return file;
        }
    }
    return {};
}

// Whether a shell takes `word` as it is: no splitting, globbing, expansion or quoting.
bool shell_literal(std::string_view word) {
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::strchr("@%+=:,./_-", c) != nullptr;
    });
}

class SpawnSetup {
  public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// Reads what the child prints until it closes its end, it ends, or the deadline passes.
class ChildWatch {
  public:
    ChildWatch(pid_t pid, Fd output, std::chrono::milliseconds limit)
        : pid_(pid),
          pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))),
          output_(std::move(output)),
          deadline_(std::chrono::steady_clock::now() + limit) {}

    ChildResult wait(const OutputSink& sink) {
        ChildResult result;
        bool exited = false;
        bool killed = false;
        while (!exited || output_) {
            std::array<pollfd, 3> fds{};
            nfds_t count = 0;
            const int output_at = output_ ? static_cast<int>(count++) : -1;
            if (output_at >= 0) fds[output_at] = {output_.get(), POLLIN, 0};
            const int pid_at = !exited && pidfd_ ? static_cast<int>(count++) : -1;
            if (pid_at >= 0) fds[pid_at] = {pidfd_.get(), POLLIN, 0};
            const int wakeup_at =
                !killed && interrupt_wakeup_fd() >= 0 ? static_cast<int>(count++) : -1;
            if (wakeup_at >= 0) fds[wakeup_at] = {interrupt_wakeup_fd(), POLLIN, 0};

            ::poll(fds.data(), count, poll_timeout(exited, killed));

            if (!exited && !killed && interrupt_signal() != 0) {
                result.interrupted = killed = true;
                kill_group();
            }
            const bool late = std::chrono::steady_clock::now() >= deadline_;
            if (!exited && !killed && late) {
                result.timed_out = killed = true;
                kill_group();
            }
            if (output_at >= 0 && fds[output_at].revents != 0) read_some(sink);
            if (!exited && (pid_at < 0 || fds[pid_at].revents != 0)) {
                exited = reap(result, pid_at < 0 ? WNOHANG : 0);
            }
            // Something the child started may hold its output open; past the deadline it is
            // no longer waited for.
            if (exited && late) output_.reset();
        }
        return result;
    }

  private:
    // Milliseconds to wait for the next event. Without a pidfd the child's end is noticed by
    // looking now and then.
    int poll_timeout(bool exited, bool killed) const {
        constexpr long kLook = 20;
        if (killed && !exited) return pidfd_ ? -1 : kLook;
        const long left = std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                deadline_ - std::chrono::steady_clock::now())
                                                .count());
        return static_cast<int>(pidfd_ || exited ? left : std::min(left, kLook));
    }

    void kill_group() { ::kill(-pid_, SIGKILL); }

    // True once the child is gone. Whatever it left running in its group goes with it, before
    // the group's number can be reused.
    bool reap(ChildResult& result, int options) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT | options) != 0) {
            return errno == ECHILD;
        }
        if (info.si_pid == 0) return false;
        kill_group();
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        result.wait_status = status;
        return true;
    }

    void read_some(const OutputSink& sink) {
        std::array<char, 64 * 1024> buffer;
        const ssize_t n = ::read(output_.get(), buffer.data(), buffer.size());
        if (n > 0) {
            sink(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        } else if (n == 0 || errno != EINTR) {
            output_.reset();
        }
    }

    pid_t pid_;
    Fd pidfd_;
    Fd output_;
    std::chrono::steady_clock::time_point deadline_;
};

}  // namespace

std::vector<std::string> trusted_search_path(const char* path) {
    std::vector<std::string> trusted;
    for (std::string_view rest = path != nullptr ? path : "";;) {
        const auto colon = rest.find(':');
        const std::string element(rest.substr(0, colon));
        char resolved[PATH_MAX];
        // An empty or relative element means a directory that depends on where root stands.
        if (element.starts_with('/') && ::realpath(element.c_str(), resolved) != nullptr &&
            others_change_dir(resolved).empty() &&
            std::find(trusted.begin(), trusted.end(), resolved) == trusted.end()) {
            trusted.emplace_back(resolved);
        }
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    if (trusted.empty()) trusted.assign(std::begin(kSystemSearchPath), std::end(kSystemSearchPath));
    return trusted;
}

namespace {

// The interpreter a "#!" script names, as the kernel reads it from the first 256 bytes; empty
// for anything else.
std::string interpreter_of(const std::string& path) {
    const Fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    char start[256];
    const ssize_t length = file ? ::read(file.get(), start, sizeof start) : -1;
    if (length < 2 || start[0] != '#' || start[1] != '!') return {};
    const std::string_view line(start + 2, static_cast<std::size_t>(length) - 2);
    const auto begin = line.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    // The kernel's name ends at a NUL too, whatever a check made of the bytes after it would say.
    constexpr std::string_view kEnds(" \t\n\0", 4);
    return std::string(line.substr(begin, line.find_first_of(kEnds, begin) - begin));
}

std::string others_can_change(const std::string& program, int interpreters);

}  // namespace

std::string others_can_change(const std::string& program) {
    return others_can_change(program, 0);
}

namespace {

std::string others_can_change(const std::string& program, int interpreters) {
    if (!program.starts_with('/')) return program + " is not an absolute path";
    std::string at = "/";        // the directory reached so far, without links
    std::string rest = program;  // what is left to follow from there
    bool through_link = false;
    for (int links = 0; !rest.empty();) {
        const auto start = rest.find_first_not_of('/');
        if (start == std::string::npos) break;
        const auto end = rest.find('/', start);
        const std::string name = rest.substr(start, end - start);
        rest = end == std::string::npos ? "" : rest.substr(end);
        if (name == ".") continue;
        if (name == "..") {
            at = parent(at);
            continue;
        }
        const std::string next = (at == "/" ? "" : at) + "/" + name;
        struct stat st {};
        // What is missing is not run; no one else may put it there before it would be.
        if (::lstat(next.c_str(), &st) != 0) return errno == ENOENT ? others_change_dir(at) : "";
        if (!S_ISLNK(st.st_mode)) {
            at = next;
            continue;
        }
        // A link is changed by replacing it, which its directory allows or not.
        if (std::string why = others_change_dir(at); !why.empty()) return why;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(next.c_str(), target, sizeof target);
        if (length <= 0 || ++links > 40) return {};  // it cannot be run at all
        if (target[0] == '/') at = "/";
        rest = std::string(target, static_cast<std::size_t>(length)) + "/" + rest;
        through_link = true;
    }
    struct stat st {};
    if (::stat(at.c_str(), &st) != 0) return {};
    const std::string it = through_link ? "it leads to " + at + ", which" : "it";
    if (st.st_uid != 0) return format_text("%s belongs to uid %u", it.c_str(), st.st_uid);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return format_text("%s has mode %04o", it.c_str(), st.st_mode & 07777);
    if (std::string why = others_change_dir(parent(at)); !why.empty()) return why;
    // A script runs its interpreter, which must be as safe; the kernel follows no more than four.
    const std::string interpreter = interpreter_of(at);
    if (interpreter.empty() || interpreters >= 4) return {};
    const std::string why = others_can_change(interpreter, interpreters + 1);
    return why.empty() ? why : "its interpreter is " + interpreter + ", where " + why;
}

}  // namespace

Spawner::Spawner(std::chrono::milliseconds time_limit)
    : time_limit_(time_limit), search_path_(trusted_search_path(std::getenv("PATH"))) {
    std::string path = "PATH=";
    for (const auto& dir : search_path_) path += (path.size() > 5 ? ":" : "") + dir;
    environment_.push_back(path);
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "SOX_OPTS=", 9) != 0 &&
            std::strncmp(*variable, "PATH=", 5) != 0)
            environment_.emplace_back(*variable);
    }
}

ChildResult Spawner::run(const Child& child, const OutputSink& output) {
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return {kCannotStart};
    Fd read_end(pipe_ends[0]);
    Fd write_end(pipe_ends[1]);
    const Fd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!null) return {kCannotStart};

    const std::string program = program_file(child.argv.at(0), search_path_);
    if (program.empty()) return {kCannotStart};
    if (const std::string why = others_can_change(program); !why.empty())
        return {kCannotStart, false, false,
                "an account other than root can change " + program + " (" + why + ")"};

    SpawnSetup setup;
    // First, while the descriptor is certainly still open in the child.
    if (child.dir >= 0) ::posix_spawn_file_actions_addfchdir_np(&setup.actions, child.dir);
    ::posix_spawn_file_actions_adddup2(&setup.actions, null.get(), 0);
    ::posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), 1);
    ::posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), 2);
    std::vector<Fd> moved;
    int highest = 2;
    for (const auto& [ours, theirs] : child.fds) {
        moved.emplace_back(::fcntl(ours, F_DUPFD_CLOEXEC, kHandOverFloor));
        if (!moved.back()) return {kCannotStart};
        ::posix_spawn_file_actions_adddup2(&setup.actions, moved.back().get(), theirs);
        highest = std::max(highest, theirs);
    }
    // Descriptors we inherited without close-on-exec are not the child's either.
    for (int fd = 3; fd < highest; ++fd) {
        const bool handed = std::any_of(child.fds.begin(), child.fds.end(),
                                        [fd](const auto& pair) { return pair.second == fd; });
        if (!handed) ::posix_spawn_file_actions_addclose(&setup.actions, fd);
    }
    ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, highest + 1);
    sigset_t none;
    sigemptyset(&none);
    const sigset_t reset = signals_reset_in_children();
    ::posix_spawnattr_setflags(
        &setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    ::posix_spawnattr_setpgroup(&setup.attributes, 0);
    ::posix_spawnattr_setsigmask(&setup.attributes, &none);
    ::posix_spawnattr_setsigdefault(&setup.attributes, &reset);

    // posix_spawn takes char* const[] for historical reasons; it does not modify the strings.
    std::vector<char*> argv;
    for (const auto& word : child.argv) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& variable : environment_) envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);

    pid_t pid;
    if (::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(),
                      envp.data()) != 0) {
        return {kCannotStart};
    }
    write_end.reset();
    moved.clear();
    return ChildWatch(pid, std::move(read_end), time_limit_).wait(output);
}

std::string command_line(const Child& child) {
    std::string line;
    for (const auto& word : child.argv) {
        if (!line.empty()) line += ' ';
        if (shell_literal(word)) {
            line += word;
            continue;
        }
        line += '\'';
        for (const char c : word) {
            if (c == '\'')
                line += "'\\''";  // close the quotes, a quoted quote, open them again
            else
                line += c;
        }
        line += '\'';
    }
    return line;
}

}  // namespace moh
