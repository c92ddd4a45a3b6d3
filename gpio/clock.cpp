// SPDX-License-Identifier: MIT
// Precise real-time waits and scheduling priority for the backends on the real clock.
#include "clock.h"

#include "clocks.h"
#include "fail.h"
#include "run-budget.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace gpio {

namespace {

// A caller back within this of the last deadline continues from it.
constexpr std::int64_t kChainWindowNs = 20'000;

// Where a press sleeps, it starts with this margin and learns its own from how late its sleeps
// wake: down slowly, up at once, without bound: where a sleep would wake later than a wait is
// long, the wait is spun whole.
constexpr std::int64_t kStartMarginNs = 100'000;
constexpr std::int64_t kMinMarginNs = 3'000;
// Once the task has run nearly as long as the kernel lets a real-time task run in a second,
// the margin kept is at most this, which keeps a wait of 300 us or more mostly asleep.
constexpr std::int64_t kSparingMarginNs = 100'000;
// Half the way from the budget to the kernel's limit.
constexpr std::int64_t kOverrunNs = 50'000'000;
// Spare time beyond the latest wake-up seen.
constexpr std::int64_t kGuardNs = 4'000;
// A delay this long after the last deadline begins a new press.
constexpr std::int64_t kNewPressNs = 10'000'000;

std::int64_t marginNs = kStartMarginNs;
std::int64_t lastDeadlineNs = 0;
// The thread's running already counted in the run budget, and when; when the last wait ended.
constexpr std::int64_t kCountEveryNs = 1'000'000;
std::int64_t countedRunNs = 0;
std::int64_t countedAtNs = 0;
std::int64_t lastWaitEndNs = 0;
bool slackSet = false;
bool lockOnlyInUse = false;

// With more than one core to run on, every wait is spun whole while the run budget lasts:
// a sleep, even one that wakes within its margin, costs exactness where a hypervisor or a
// busy kernel wakes the task, and the other cores serve the rest of the system meanwhile.
// Alone on one core (a Pi Zero or Pi 1), a press sleeps where its sleeps wake on time and
// spins only where they would land late, leaving that core to the rest of the system.
bool spinsWhole() {
    static const bool spins = [] {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        return sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 1;
    }();
    return spins;
}

RunBudget &runBudget() {
    static RunBudget budget = RunBudget::fromKernel();
    return budget;
}

// The margin follows the highest lateness of the last thousand or so sleeps: up at once,
// down slowly, so that a rare late wake-up still lands before its deadline.
void learnFrom(std::int64_t latenessNs) {
    const std::int64_t wanted = latenessNs + latenessNs / 4 + kGuardNs;
    if (wanted > marginNs) {
        marginNs = wanted;
    } else {
        marginNs -= (marginNs - wanted) / 1024;
    }
    marginNs = std::max(marginNs, kMinMarginNs);
}

// Faults in and locks every page for the press, as real-time programs do: on a small Pi
// under memory pressure a wake-up would otherwise wait for a page to be read back. Refused
// (the process outgrows RLIMIT_MEMLOCK without CAP_IPC_LOCK; a PC's build locks 7.7 MB of
// the usual 8 MB), the press goes out the same and nothing is said: the lock guards
// against a rare delay, not the timing itself, and what a user can grant for exact timing
// the priority warning says. A press maps nothing new, so what it maps later (MCL_FUTURE)
// cannot push it past the limit. A process of several threads may lock only the pages it has
// in use and those the press touches: faulting in every thread's stack and every library
// whole would keep megabytes resident for good, as unlocking does not give them back.
void lockMemory(bool locked) {
#ifdef TERUNA_SANITIZER_SHADOW
    // A sanitizer's shadow spans terabytes it never touches: locking would fault them in.
    static_cast<void>(locked);
#else
    if (locked) {
        mlockall(MCL_CURRENT | MCL_FUTURE | (lockOnlyInUse ? MCL_ONFAULT : 0));
    } else {
        munlockall();
    }
#endif
}

std::int64_t threadCpuNs() {
    timespec ran{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ran);
    return static_cast<std::int64_t>(ran.tv_sec) * 1'000'000'000 + ran.tv_nsec;
}

timespec toTimespec(std::int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return ts;
}

}  // namespace

void waitUntilNs(std::int64_t deadlineNs) {
    if (!slackSet) {
        // Ordinary tasks' sleeps may otherwise be rounded up by 50 us.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        slackSet = true;
    }
    // The kernel's own count of this thread's running, which is what it throttles by, read at
    // most once a millisecond (it costs a system call); what ran before a press began is the
    // caller's.
    const std::int64_t nowNs = common::monotonicNs();
    RunBudget &budget = runBudget();
    if (nowNs - lastWaitEndNs >= kNewPressNs) {
        countedRunNs = threadCpuNs();
        countedAtNs = nowNs;
    } else if (nowNs - countedAtNs >= kCountEveryNs) {
        const std::int64_t ranNs = threadCpuNs();
        budget.charge(nowNs, ranNs - countedRunNs);
        countedRunNs = ranNs;
        countedAtNs = nowNs;
    }
    std::int64_t keptNs = spinsWhole() ? deadlineNs - nowNs : marginNs;
    if (!budget.allows(nowNs, std::min(keptNs, deadlineNs - nowNs))) {
        // Well past the budget even so (waits too short to sleep much of), it sleeps all it can.
        const bool wellPast = budget.ranNs(nowNs) > budget.allowedNs() + kOverrunNs;
        keptNs = wellPast ? kMinMarginNs : std::min(marginNs, kSparingMarginNs);
    }
    const std::int64_t wakeNs = deadlineNs - keptNs;
    if (wakeNs > nowNs) {
        const timespec wake = toTimespec(wakeNs);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
        }
        learnFrom(common::monotonicNs() - wakeNs);
    }
    while (common::monotonicNs() < deadlineNs) {
    }
    lastWaitEndNs = deadlineNs;
}

void delayUs(unsigned int us) {
    const std::int64_t nowNs = common::monotonicNs();
    if (nowNs - lastDeadlineNs > kNewPressNs) {
        // Each press learns its margin from its own sleeps, from the top down: started low, it
        // would learn of each later wake-up by a late edge.
        marginNs = kStartMarginNs;
    }
    const bool continues = nowNs >= lastDeadlineNs && nowNs - lastDeadlineNs < kChainWindowNs;
    const std::int64_t deadlineNs = (continues ? lastDeadlineNs : nowNs) + std::int64_t{us} * 1000;
    waitUntilNs(deadlineNs);
    lastDeadlineNs = deadlineNs;
}

void lockOnlyPagesInUse() { lockOnlyInUse = true; }

int requestPriority(int priority) {
    sched_param param{};
    lockMemory(priority > 0);
    if (priority <= 0) {
        return sched_setscheduler(0, SCHED_OTHER, &param);
    }
    const int highest = sched_get_priority_max(SCHED_RR);
    param.sched_priority = priority > highest ? highest : priority;
    return sched_setscheduler(0, SCHED_RR, &param);
}

void sayPriorityRefused(int error) {
    static bool said = false;
    if (said) {
        return;
    }
    said = true;
    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    common::complain("real-time priority refused (%s): the press goes out with ordinary scheduling, its timing less "
                     "exact; 'sudo setcap cap_sys_nice+ep %s' grants it",
                     std::strerror(error), length > 0 ? self : program_invocation_name);
}

}  // namespace gpio
