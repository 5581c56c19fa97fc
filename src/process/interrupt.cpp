// SPDX-License-Identifier: GPL-2.0-or-later
#include "process/interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace moh {
namespace {

std::atomic<int> g_signal{0};
int g_wakeup[2] = {-1, -1};

void on_signal(int signal) {
    g_signal.store(signal);
    const int saved = errno;
    [[maybe_unused]] const ssize_t ignored = ::write(g_wakeup[1], "!", 1);
    errno = saved;
}

// The signals ignored when the command started, noted before it changes any disposition.
const sigset_t& ignored_at_start() {
    static const sigset_t ignored = [] {
        sigset_t set;
        sigemptyset(&set);
        for (int signal = 1; signal < NSIG; ++signal) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
                sigaddset(&set, signal);
        }
        return set;
    }();
    return ignored;
}

}  // namespace

void install_interrupt_handlers() {
    const sigset_t& ignored = ignored_at_start();
    if (g_wakeup[0] < 0 && ::pipe2(g_wakeup, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (!sigismember(&ignored, signal)) ::sigaction(signal, &action, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
}

int interrupt_signal() {
    return g_signal.load();
}

int interrupt_wakeup_fd() {
    return g_wakeup[0];
}

sigset_t signals_reset_in_children() {
    const sigset_t& ignored = ignored_at_start();
    sigset_t reset;
    sigfillset(&reset);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&ignored, signal) == 1) sigdelset(&reset, signal);
    }
    return reset;
}

void exit_for_interrupt() {
    const int signal = g_signal.load();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    std::_Exit(128 + signal);
}

}  // namespace moh
