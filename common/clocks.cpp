// SPDX-License-Identifier: MIT
#include "clocks.h"

#include <cstdio>
#include <ctime>

namespace common {

namespace {

std::int64_t microsOf(const timespec &time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000 + time.tv_nsec / 1000;
}

}  // namespace

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t realtimeUs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return microsOf(now);
}

std::int64_t realtimeOffsetUs() {
    timespec real{}, monotonic{};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    return microsOf(real) - microsOf(monotonic);
}

std::string utcTime(std::int64_t sinceEpochUs) {
    // Rounded down, also before the epoch, so that a time is never shown later than it was.
    std::int64_t ms = sinceEpochUs / 1000;
    ms -= sinceEpochUs % 1000 < 0 ? 1 : 0;
    std::int64_t seconds = ms / 1000;
    int milliseconds = static_cast<int>(ms % 1000);
    if (milliseconds < 0) {
        milliseconds += 1000;
        --seconds;
    }
    const auto whole = static_cast<time_t>(seconds);
    tm parts{};
    gmtime_r(&whole, &parts);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", milliseconds);
    return text;
}

}  // namespace common
