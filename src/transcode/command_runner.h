#pragma once

#include <string>

namespace moh {

// How a command line is run: the one seam between the walk and the outside programs.
class CommandRunner {
  public:
    virtual ~CommandRunner() = default;
    // Runs the command line through sh and waits for it. Returns its wait status as waitpid
    // gives it; a shell that cannot be started counts as one that exited with 127, as system()
    // has it.
    virtual int run(const std::string& command_line) = 0;
};

// The real runner: /bin/sh -c, in the foreground, one child at a time.
class ShellRunner : public CommandRunner {
  public:
    int run(const std::string& command_line) override;
};

}  // namespace moh
