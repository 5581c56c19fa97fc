// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <signal.h>

namespace moh {

// Ctrl-C, SIGTERM and SIGHUP end a run promptly. The handler only notes the signal and wakes
// whoever waits on a child; the child is then killed and the walk stops at its next step, so
// nothing half-written is ever published. A signal that was ignored when the command started
// (SIGHUP under nohup, SIGINT in a background job) stays ignored, as shells do. SIGPIPE is
// ignored: a log reader that goes away is a write error, reported once the run has ended.
void install_interrupt_handlers();

// The signal that interrupted the run, or 0.
int interrupt_signal();

// Readable once a signal has arrived (and for good after that); -1 before the handlers are in.
int interrupt_wakeup_fd();

// The signals a child starts with at their default disposition: all but those the command
// itself was started with ignored.
sigset_t signals_reset_in_children();

// Ends the process the way the signal would have, once the run has cleaned up after itself.
[[noreturn]] void exit_for_interrupt();

}  // namespace moh
