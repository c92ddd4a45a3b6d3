// SPDX-License-Identifier: MIT
// What signals do to a run, defined once: the tool holds them back while a press goes out,
// and the simulated pins write their recordings before those that end the process.
#ifndef TERUNA_COMMON_SIGNALS_H
#define TERUNA_COMMON_SIGNALS_H

#include <csignal>

namespace common {

enum class SignalDefault {
    ends,         // SIGINT, SIGPIPE, SIGXFSZ, SIGPROF, the real-time signals, ...
    stops,        // SIGTSTP, SIGTTIN, SIGTTOU
    ignored,      // SIGCHLD, SIGCONT, SIGURG, SIGWINCH
    cannotBeHeld  // SIGKILL and SIGSTOP, and the faults the kernel raises where they happen
};

// What `signo` does by default.
SignalDefault defaultActionOf(int signo);

// Every signal that can be held back. A press holds them from its first level change to its
// last, so that nothing can end or stop it with the transmitter keyed.
sigset_t holdableSignals();

// SIGPIPE and SIGXFSZ: what writing to a closed pipe or past the file size limit raises.
sigset_t outputSignals();

// Lets the held signals take effect, as the process is about to end: none that came is lost.
void releaseHeldSignals();

// Adds `lastWords` to what runs when a signal that nothing holds ends the process: a fault the
// kernel raises where it happens (or kill sends), or abort's SIGABRT. They run on a stack of
// their own, the latest added first, and the signal then ends the process as it would have:
// its status, its core dump. `lastWords` must be async-signal-safe; up to four are kept.
void onFatalSignal(void (*lastWords)());

}  // namespace common

#endif
