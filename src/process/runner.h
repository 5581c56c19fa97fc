// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace moh {

// One child process: its argument vector and the descriptors it is handed. It gets /dev/null as
// stdin and nothing else of ours.
struct Child {
    std::vector<std::string> argv;         // argv[0] is looked up on PATH unless it holds a slash
    std::vector<std::pair<int, int>> fds;  // (our descriptor, the number it has in the child)
    int dir = -1;  // our descriptor of the directory it starts in; -1 for our own
};

struct ChildResult {
    int wait_status = 0;       // as waitpid gives it; a program that cannot be started exits 127
    bool timed_out = false;    // killed, with its process group, for running past the limit
    bool interrupted = false;  // killed because the run itself was interrupted
    // Why it was not started though it is there, as it exits 127: an account other than root
    // could change the program, and root runs nothing it could.
    std::string refused = {};
};

// Receives the child's stdout and stderr, in pieces, as they come.
using OutputSink = std::function<void(std::string_view)>;

// How the command runs a child: the one seam between the walk and the outside programs.
class Runner {
  public:
    virtual ~Runner() = default;
    // Runs the child and waits for it, passing everything it prints to `output`.
    virtual ChildResult run(const Child& child, const OutputSink& output) = 0;
};

// The real runner: posix_spawn, no shell. Each child runs in a process group of its own, which
// is killed when the child outlives `time_limit` or the run is interrupted, and when the child
// ends, so that nothing it started lingers. Programs are looked up only in trusted_search_path().
// Children get the environment without SOX_OPTS, which could otherwise silence sox's clipping
// warnings, and with that search path as PATH.
class Spawner final : public Runner {
  public:
    explicit Spawner(std::chrono::milliseconds time_limit);
    ChildResult run(const Child& child, const OutputSink& output) override;

  private:
    std::chrono::milliseconds time_limit_;
    std::vector<std::string> search_path_;
    std::vector<std::string> environment_;
};

// The elements of `path` (a PATH value) that root may run programs from: absolute directories
// that root owns and no one else may write. When none is left, the usual system directories.
std::vector<std::string> trusted_search_path(const char* path);

// Why an account other than root could change the program at `program` (an absolute path),
// such as "it has mode 0777" or "/opt/bin belongs to uid 1000"; empty when only root can.
// The file must be root's and writable by no one else, and only root may change the directories
// it is reached through, as trusted_search_path() requires of its directories, those that hold
// the links met on the way included. A program that is not there gives empty, unless others
// could put it there.
std::string others_can_change(const std::string& program);

// The argument vector as one line for the log: the words joined by spaces, each that a shell
// would split or expand in single quotes.
std::string command_line(const Child& child);

}  // namespace moh
