// SPDX-License-Identifier: MIT
// The simulated pins' two file formats, written with nothing that a signal handler may not
// call: the call log and the Value Change Dump.
#ifndef TERUNA_GPIO_SIM_FORMAT_H
#define TERUNA_GPIO_SIM_FORMAT_H

#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim.h"

namespace sim {

// What a recording shows: the calls, on which clock, until when.
struct Timeline {
    const std::vector<Event> *events;
    bool virtualClock;
    std::int64_t endNs;
    bool complete;  // false when calls went unrecorded for want of memory
};

constexpr std::int64_t kNever = INT64_MAX;

// Buffered output with write(2) and hand-made number formatting only, so that it is safe
// inside a signal handler. A descriptor that does not block gives up at `giveUpNs`
// (CLOCK_MONOTONIC) with ETIMEDOUT.
class FdWriter {
public:
    explicit FdWriter(int fd, std::int64_t giveUpNs = kNever) : fd_(fd), giveUpNs_(giveUpNs) {}
    FdWriter(const FdWriter &) = delete;
    FdWriter &operator=(const FdWriter &) = delete;
    ~FdWriter() = default;

    // Writes what is buffered; false, with errno, when the file did not take all of it.
    bool finish();

    FdWriter &operator<<(const char *text);
    FdWriter &operator<<(char c);
    FdWriter &operator<<(std::int64_t number);

    // Nanoseconds as microseconds: whole on the virtual clock, with three decimals otherwise.
    void micros(std::int64_t ns, bool virtualClock);

private:
    void put(char c);
    void flush();
    bool waitUntilWritable();

    int fd_;
    std::int64_t giveUpNs_;
    int error_ = 0;
    std::size_t used_ = 0;
    char buffer_[4096]{};
};

// One line per call: its time in microseconds, its name, its arguments and result. False,
// with errno, when the file did not take all of it by `giveUpNs`.
bool writeLog(int fd, const Timeline &timeline, std::int64_t giveUpNs);

// One 1-bit wire per pin that pinMode configured, named after its wiringPi number. False,
// with errno, when the file did not take all of it by `giveUpNs`.
bool writeVcd(int fd, const Timeline &timeline, std::int64_t giveUpNs);

}  // namespace sim

#endif
