// Real-time waits and scheduling priority for the backends that run on the real clock.
#include "clock.h"

#include <ctime>
#include <sched.h>

namespace gpio {

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void waitUntilNs(std::int64_t deadlineNs) {
    // A sleep can wake tens of microseconds late; the symbols are 110 us long.
    while (monotonicNs() < deadlineNs) {
    }
}

int requestPriority(int priority) {
    sched_param param{};
    if (priority <= 0) {
        return sched_setscheduler(0, SCHED_OTHER, &param);
    }
    const int highest = sched_get_priority_max(SCHED_RR);
    param.sched_priority = priority > highest ? highest : priority;
    return sched_setscheduler(0, SCHED_RR, &param);
}

}  // namespace gpio
