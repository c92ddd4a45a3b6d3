// SPDX-License-Identifier: MIT
// The real clock and scheduler behind delayMicroseconds and piHiPri, shared by the
// backends that drive or simulate pins in real time.
#ifndef TERUNA_GPIO_CLOCK_H
#define TERUNA_GPIO_CLOCK_H

#include <cstdint>

// AddressSanitizer and ThreadSanitizer map a shadow of terabytes that they never touch.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TERUNA_SANITIZER_SHADOW
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TERUNA_SANITIZER_SHADOW
#endif
#endif

namespace gpio {

// The precise delay: returns `us` microseconds after it was called, or after the deadline
// of the delay before it when the caller comes back within a few microseconds of that
// deadline, so that the level writes between two delays do not stretch a symbol.
void delayUs(unsigned int us);

// Returns once CLOCK_MONOTONIC has reached `deadlineNs`. With more than one core to run on,
// busy-waits; alone on one, sleeps until shortly before the deadline, by a margin learnt from
// how late this machine's sleeps wake (spinning the whole wait where they wake later than it
// lasts), then busy-waits. Either way, once the thread has run in the last second nearly as
// long as the kernel lets a real-time task run, it sleeps more, so that it is never throttled.
void waitUntilNs(std::int64_t deadlineNs);

// What wiringPi's piHiPri asks of the kernel: SCHED_RR at `priority`, capped at the
// highest the kernel allows; 0 returns to normal scheduling. Returns 0, or -1 with errno.
// Also locks the process's memory in while the priority is asked for, where the system
// allows it and AddressSanitizer does not stand in the way.
int requestPriority(int priority);

// From now on requestPriority locks only the pages in use and those faulted in later, rather
// than every page the process maps.
void lockOnlyPagesInUse();

// Says once, on standard error, that real-time priority was refused for `error`, that the
// press goes out all the same, and how to grant the right.
void sayPriorityRefused(int error);

}  // namespace gpio

#endif
