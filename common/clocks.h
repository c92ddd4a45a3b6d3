// SPDX-License-Identifier: MIT
// The clocks every room reads: the monotonic one that times, and the time of day, as every
// program that reports a press or a request stamps it.
#ifndef TERUNA_COMMON_CLOCKS_H
#define TERUNA_COMMON_CLOCKS_H

#include <cstdint>
#include <string>

namespace common {

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t monotonicNs();

// CLOCK_REALTIME in microseconds since the epoch.
std::int64_t realtimeUs();

// CLOCK_REALTIME less CLOCK_MONOTONIC in microseconds: turns the kernel's edge times into the
// time of day. To be taken when it is used, as a Pi's clock is often set only after boot.
std::int64_t realtimeOffsetUs();

// "2026-12-08T08:31:20.123Z", from microseconds since the epoch.
std::string utcTime(std::int64_t sinceEpochUs);

}  // namespace common

#endif
