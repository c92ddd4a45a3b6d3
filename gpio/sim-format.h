// SPDX-License-Identifier: MIT
// The simulated pins' two file formats, written as the calls come with nothing that a signal
// handler may not call: the call log and the Value Change Dump.
#ifndef TERUNA_GPIO_SIM_FORMAT_H
#define TERUNA_GPIO_SIM_FORMAT_H

#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "sim.h"

namespace sim {

// The latest calls, kCallsKept of them, in memory that never moves: a signal handler may read
// them at any moment.
class CallRing {
public:
    // Takes the memory, once; false when there is none.
    bool allocate();
    void push(const Event &event) {
        slots_[count_ % kCallsKept] = event;
        ++count_;
    }
    void clear() { count_ = 0; }

    // How many calls there were since the run began. Those from oldest() on are still held.
    [[nodiscard]] std::uint64_t count() const { return count_; }
    [[nodiscard]] std::uint64_t oldest() const { return count_ > kCallsKept ? count_ - kCallsKept : 0; }
    // The call numbered `call`, counted from the run's beginning.
    const Event &operator[](std::uint64_t call) const { return slots_[call % kCallsKept]; }

private:
    std::unique_ptr<Event[]> slots_;
    std::uint64_t count_ = 0;
};

// What a recording shows: the calls, on which clock, until when.
struct Timeline {
    const CallRing *calls;
    bool virtualClock;
    std::int64_t endNs;
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
    // The same, at `offset` of a regular file, leaving the file offset where it was.
    bool finishAt(off_t offset);
    // What is buffered and not yet written: all that was put, as long as it fits the buffer.
    [[nodiscard]] std::size_t buffered() const { return used_; }

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

// One line per call: its time in microseconds, its name, its arguments and result.
class LogWriter {
public:
    // Writes the calls that came since the last write. False, with errno, when the file did
    // not take all of it by `giveUpNs`.
    bool write(int fd, const Timeline &timeline, std::int64_t giveUpNs);

private:
    std::uint64_t next_ = 0;
};

// One 1-bit wire per pin that pinMode configured, named after its wiringPi number, in the
// order they were first configured.
class VcdWriter {
public:
    // Writes the changes that came since the last write, the header first. A pin configured
    // after the header was written is declared by writing the header again, which only a
    // regular file allows (ESPIPE otherwise). False, with errno, when the file did not take
    // all of it by `giveUpNs`.
    bool write(int fd, const Timeline &timeline, std::int64_t giveUpNs);
    // The same, then the time the dump ends.
    bool finish(int fd, const Timeline &timeline, std::int64_t giveUpNs);

private:
    static constexpr int kMaxWires = 32;

    bool writeChanges(int fd, const Timeline &timeline, std::int64_t giveUpNs, bool last);
    bool declareWires(int fd, std::int64_t giveUpNs);
    [[nodiscard]] int wireOf(std::int64_t pin) const;

    std::uint64_t next_ = 0;
    int wires_ = 0;
    int pins_[kMaxWires] = {};
    char level_[kMaxWires] = {};
    int declared_ = -1;  // the wires the header in the file declares; -1 before it is written
    std::size_t headerBytes_ = 0;
    std::int64_t shownNs_ = 0;
};

}  // namespace sim

#endif
