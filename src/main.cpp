// moh-convert: renames and converts the music-on-hold library of an Asterisk server.
#include <cstdio>

#include "cli/options.h"
#include "cli/run_lock.h"
#include "library/walk.h"
#include "process/interrupt.h"
#include "process/log.h"
#include "process/runner.h"

int main(int argc, char** argv) {
    using Action = moh::CommandLine::Action;
    const moh::CommandLine command = moh::parse_command_line(argc, argv);
    switch (command.action) {
        case Action::kUsageError:
            return moh::kExitUsage;
        case Action::kHelp:
            moh::print_usage(stdout);
            return 0;
        case Action::kVersion:
            std::printf("moh-convert %s\n", MOH_VERSION);
            return 0;
        case Action::kRun:
            break;
    }

    moh::Settings settings = moh::fixed_settings();
    if (!command.run.library.empty()) settings.library_dir = command.run.library;
    const moh::RunLock lock(settings.lock_path);
    if (!lock.held()) {
        if (lock.failure().empty()) {
            std::fprintf(stderr, "moh-convert: another run (pid %d) is in progress; not starting\n",
                         static_cast<int>(lock.holder()));
        } else {
            std::fprintf(stderr, "moh-convert: couldn't take the lock %s: %s\n",
                         settings.lock_path.c_str(), lock.failure().c_str());
        }
        return moh::kExitLocked;
    }
    moh::install_interrupt_handlers();
    moh::Log log(stdout, command.quiet);
    moh::Spawner runner(settings.child_time_limit);
    const moh::WalkResult result = moh::run_walk({settings, command.run, log, runner});
    log.flush();
    if (result.interrupted) moh::exit_for_interrupt();
    return result.status;
}
