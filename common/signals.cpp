// SPDX-License-Identifier: MIT
#include "signals.h"

#include <cerrno>
#include <cstddef>

namespace common {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT};

constexpr int kMaxLastWords = 4;
void (*lastWordsOf[kMaxLastWords])() = {};
int lastWordsCount = 0;
// A stack overflow leaves the usual stack no room for the handler.
constexpr std::size_t kStackSize = std::size_t{64} * 1024;
alignas(16) char alternateStack[kStackSize];

// SA_RESETHAND has put the default action back; the signal raised here waits for the handler's
// return, and a fault that comes again takes that action at once.
void endOnFatalSignal(int signo) {
    const int error = errno;
    for (int i = lastWordsCount; i-- > 0;) {
        lastWordsOf[i]();
    }
    errno = error;
    raise(signo);
}

// One already in place (a sanitizer's) is kept when it is large enough.
void useAlternateStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
        current.ss_size >= kStackSize / 2) {
        return;
    }
    stack_t mine{};
    mine.ss_sp = alternateStack;
    mine.ss_size = sizeof alternateStack;
    sigaltstack(&mine, nullptr);
}

}  // namespace

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

void onFatalSignal(void (*lastWords)()) {
    for (int i = 0; i < lastWordsCount; ++i) {
        if (lastWordsOf[i] == lastWords) {
            return;
        }
    }
    if (lastWordsCount == kMaxLastWords) {
        return;
    }
    lastWordsOf[lastWordsCount++] = lastWords;
    useAlternateStack();
    struct sigaction action {};
    action.sa_handler = endOnFatalSignal;
    action.sa_flags = static_cast<int>(SA_ONSTACK | SA_RESETHAND);
    sigfillset(&action.sa_mask);
    for (const int signo : kFatalSignals) {
        sigaction(signo, &action, nullptr);
    }
}

}  // namespace common
