// The real clock and scheduler behind delayMicroseconds and piHiPri, shared by the
// backends that drive or simulate pins in real time.
#ifndef TERUNA_GPIO_CLOCK_H
#define TERUNA_GPIO_CLOCK_H

#include <cstdint>

namespace gpio {

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t monotonicNs();

// Returns once CLOCK_MONOTONIC has reached `deadlineNs`.
void waitUntilNs(std::int64_t deadlineNs);

// What wiringPi's piHiPri asks of the kernel: SCHED_RR at `priority`, capped at the
// highest the kernel allows; 0 returns to normal scheduling. Returns 0, or -1 with errno.
int requestPriority(int priority);

}  // namespace gpio

#endif
