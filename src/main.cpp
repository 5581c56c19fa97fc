// SPDX-License-Identifier: GPL-2.0-or-later
// moh-convert: renames and converts the music-on-hold library of an Asterisk server.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "check/check.h"
#include "cli/options.h"
#include "cli/run_lock.h"
#include "formats/outputs.h"
#include "library/walk.h"
#include "process/interrupt.h"
#include "process/log.h"
#include "process/progress.h"
#include "process/runner.h"

namespace {

// Started with 0, 1 or 2 closed, the next file we open (the lock) would take its number and
// the log would be written into it: each closed one gets /dev/null, as daemons do.
void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && ::open("/dev/null", O_RDWR) != fd) return;
    }
}

// Looks, writes nothing and takes no lock: any account that can read the library may.
int run_check(const moh::CommandLine& command) {
    const moh::Settings settings = moh::fixed_settings();
    moh::CheckPaths paths;
    paths.library_dir = command.run.library.empty() ? settings.library_dir : command.run.library;
    paths.default_library = command.run.library.empty();
    paths.state_dir = settings.state_dir;
    paths.formats = moh::run_formats(command.run.extra_formats);
    paths.asterisk_conf = settings.asterisk_dir + "/asterisk.conf";
    paths.musiconhold_asked = !command.asterisk_config.empty();
    paths.musiconhold_conf = paths.musiconhold_asked ? command.asterisk_config
                                                     : settings.asterisk_dir + "/musiconhold.conf";
    const int status = moh::run_check(paths, stdout);
    // A monitoring system that got no status line knows nothing.
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? status : moh::kCheckUnknown;
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    using Action = moh::CommandLine::Action;
    const moh::CommandLine command = moh::parse_command_line(argc, argv);
    switch (command.action) {
        case Action::kUsageError:
            // Monitoring reads 2 as CRITICAL: a check it was given wrongly is UNKNOWN.
            return std::any_of(argv + 1, argv + argc,
                               [](const char* word) { return std::strcmp(word, "--check") == 0; })
                       ? moh::kCheckUnknown
                       : moh::kExitUsage;
        case Action::kHelp:
            moh::print_usage(stdout);
            return 0;
        case Action::kVersion:
            std::printf("moh-convert %s\n", MOH_VERSION);
            return 0;
        case Action::kCheck:
            return run_check(command);
        case Action::kRun:
            break;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "moh-convert: must be run as root\n");
        return moh::kExitNotRoot;
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
    std::optional<moh::Progress> progress;
    if (::isatty(STDERR_FILENO)) progress.emplace(STDERR_FILENO);
    moh::Progress* shown = progress ? &*progress : nullptr;
    moh::LogOutput output(STDOUT_FILENO, ::isatty(STDOUT_FILENO) ? shown : nullptr);
    moh::Log log(output.stream(), command.quiet, moh::is_journal_stream(STDOUT_FILENO));
    moh::Spawner runner(settings.child_time_limit);
    const moh::WalkResult result = moh::run_walk({settings, command.run, log, runner, shown});
    const int lost = output.close();
    if (progress) progress->clear();
    if (lost != 0)
        std::fprintf(stderr, "moh-convert: couldn't write the log: %s\n", std::strerror(lost));
    if (result.interrupted) {
        const int signal = moh::interrupt_signal();
        std::fprintf(stderr,
                     "moh-convert: interrupted by SIG%s after converting %d of %d sources; run "
                     "it again to finish\n",
                     ::sigabbrev_np(signal), result.done, result.to_convert);
        moh::exit_for_interrupt();
    }
    return lost != 0 ? moh::kExitLogLost : result.status;
}
