// SPDX-License-Identifier: MIT
// Simulated pins: the GPIO API on a PC, on the real clock or a virtual one, recorded as
// a call log and as a Value Change Dump that waveform viewers open.
#include "sim.h"

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "clock.h"
#include "clocks.h"
#include "fail.h"
#include "pins.h"
#include "signals.h"
#include "sim-recording.h"
#include "wiringPi.h"

namespace {

constexpr int kPins = 32;

struct Run {
    bool setUp = false;
    bool virtualClock = false;
    bool refusePriority = false;
    bool sayNothingIsTransmitted = true;
    std::int64_t startNs = 0;    // CLOCK_MONOTONIC at set-up, for the real clock
    std::int64_t virtualNs = 0;  // time since set-up, for the virtual clock
    bool outOfMemory = false;    // calls went unrecorded
    void (*realDelay)(unsigned int us) = gpio::delayUs;
    std::vector<sim::Event> events;
    // By wiringPi pin: whether pinMode made it an output, and whether it was last driven high.
    bool output[kPins] = {};
    bool high[kPins] = {};
};

Run run;

std::int64_t nowNs() { return run.virtualClock ? run.virtualNs : common::monotonicNs() - run.startNs; }

// A signal handler may write out the recording at any moment, so the events never
// move in memory while it could run; room is kept for the handler's own lows of every pin.
void record(const sim::Event &event) {
    if (!run.setUp || run.outOfMemory) {
        return;
    }
    if (run.events.size() + kPins >= run.events.capacity()) {
        const sigset_t blocked = common::holdableSignals();
        sigset_t previous;
        sigprocmask(SIG_BLOCK, &blocked, &previous);
        try {
            run.events.reserve(2 * run.events.capacity() + 1024);
        } catch (const std::bad_alloc &) {
            run.outOfMemory = true;
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (run.outOfMemory) {
            return;
        }
    }
    run.events.push_back(event);
}

sim::Timeline timeline() { return {&run.events, run.virtualClock, nowNs(), !run.outOfMemory}; }

// Before the process ends on a signal: a pin left high is driven low, as the backends on real
// pins do, and the recordings show it.
void lowerOutputs() {
    if (!run.setUp) {
        return;
    }
    for (int pin = 0; pin < kPins; ++pin) {
        if (run.output[pin] && run.high[pin] && run.events.size() < run.events.capacity()) {
            run.events.push_back({nowNs(), sim::Call::digitalWrite, pin, LOW, 0});
            run.high[pin] = false;
        }
    }
}

}  // namespace

extern "C" int wiringPiSetup(void) {
    if (run.setUp) {
        record({nowNs(), sim::Call::wiringPiSetup, 0, 0, 0});
        return 0;
    }
    const char *clock = std::getenv("TERUNA_SIM_CLOCK");
    if (clock != nullptr && std::strcmp(clock, "virtual") != 0) {
        errno = EINVAL;
        return -1;
    }
    if (clock == nullptr && std::getenv("TERUNA_SIM_LOG") == nullptr && std::getenv("TERUNA_SIM_VCD") == nullptr &&
        run.sayNothingIsTransmitted) {
        // A build for a PC must not be mistaken for a real send.
        common::complain("simulated pins: nothing is transmitted");
    }
    try {
        run.events.reserve(1 << 16);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    if (!sim::openRecordings()) {
        return -1;
    }
    sim::writeRecordingsAtEnd(timeline, lowerOutputs);

    run.virtualClock = clock != nullptr;
    run.outOfMemory = false;
    run.virtualNs = 0;
    std::fill(std::begin(run.output), std::end(run.output), false);
    std::fill(std::begin(run.high), std::end(run.high), false);
    run.startNs = common::monotonicNs();
    run.setUp = true;
    record({0, sim::Call::wiringPiSetup, 0, 0, 0});
    return 0;
}

extern "C" void pinMode(int pin, int mode) {
    record({nowNs(), sim::Call::pinMode, pin, mode, 0});
    if (gpio::bcmLineOf(pin) < 0) {
        gpio::exitUnknownPin(pin);
    }
    run.output[pin] = mode == OUTPUT;
    run.high[pin] = false;
}

extern "C" void digitalWrite(int pin, int value) {
    record({nowNs(), sim::Call::digitalWrite, pin, value, 0});
    if (pin >= 0 && pin < kPins) {
        run.high[pin] = value != LOW;
    }
}

extern "C" void delayMicroseconds(unsigned int howLong) {
    const std::int64_t durationNs = std::int64_t{howLong} * 1000;
    if (run.virtualClock) {
        record({run.virtualNs, sim::Call::delayMicroseconds, howLong, 0, 0});
        run.virtualNs += durationNs;
        return;
    }
    record({common::monotonicNs() - run.startNs, sim::Call::delayMicroseconds, howLong, 0, 0});
    run.realDelay(howLong);
}

extern "C" int piHiPri(const int pri) {
    int result = 0;
    if (run.refusePriority) {
        errno = EPERM;
        result = -1;
    } else if (!run.virtualClock) {
        result = gpio::requestPriority(pri);
    }
    if (result != 0 && pri > 0) {
        const int error = errno;
        gpio::sayPriorityRefused(error);
        errno = error;
    }
    record({nowNs(), sim::Call::piHiPri, pri, 0, result});
    return result;
}

namespace sim {

std::vector<Event> events() { return run.events; }

void reset() {
    sim::writeRecordingsNow();
    const bool refuse = run.refusePriority;
    run.events.clear();
    run.setUp = false;
    run.virtualClock = false;
    run.refusePriority = refuse;
}

void refusePriority(bool refuse) { run.refusePriority = refuse; }

void sayNothingIsTransmitted(bool say) { run.sayNothingIsTransmitted = say; }

void useRealDelay(void (*delay)(unsigned int us)) { run.realDelay = delay != nullptr ? delay : gpio::delayUs; }

}  // namespace sim
