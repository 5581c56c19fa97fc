#include "process/interrupt.h"

#include <fcntl.h>
#include <signal.h>
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

}  // namespace

void install_interrupt_handlers() {
    if (g_wakeup[0] < 0 && ::pipe2(g_wakeup, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int interrupt_signal() {
    return g_signal.load();
}

int interrupt_wakeup_fd() {
    return g_wakeup[0];
}

void exit_for_interrupt() {
    const int signal = g_signal.load();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    std::_Exit(128 + signal);
}

}  // namespace moh
