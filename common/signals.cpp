// SPDX-License-Identifier: MIT
#include "signals.h"

namespace common {

SignalDefault defaultActionOf(int signo) {
    switch (signo) {
    case SIGKILL:
    case SIGSTOP:
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGTRAP:
    case SIGSYS:
        return SignalDefault::cannotBeHeld;
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
        return SignalDefault::stops;
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
        return SignalDefault::ignored;
    default:
        return SignalDefault::ends;
    }
}

sigset_t holdableSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo = 1; signo < NSIG; ++signo) {
        // The C library keeps a few numbers for itself; sigaddset refuses those.
        if (defaultActionOf(signo) != SignalDefault::cannotBeHeld) {
            sigaddset(&set, signo);
        }
    }
    return set;
}

sigset_t outputSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    sigaddset(&set, SIGXFSZ);
    return set;
}

void releaseHeldSignals() {
    const sigset_t held = holdableSignals();
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

}  // namespace common
