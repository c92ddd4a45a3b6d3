// SPDX-License-Identifier: MIT
// Simulated pins: the GPIO API on a PC, on the real clock or a virtual one, recorded as
// a call log and as a Value Change Dump that waveform viewers open.
#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "clock.h"
#include "clocks.h"
#include "fail.h"
#include "pins.h"
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
    void (*realDelay)(unsigned int us) = gpio::delayUs;
    sim::CallRing calls;
    std::uint64_t unwrittenFrom = 0;  // the first call the recording files have not been given
    // By wiringPi pin: whether pinMode made it an output, and whether it was last driven high.
    bool output[kPins] = {};
    bool high[kPins] = {};
};

Run run;

std::int64_t nowNs() { return run.virtualClock ? run.virtualNs : common::monotonicNs() - run.startNs; }

void writeNewCalls() {
    sim::writeNewCalls();
    run.unwrittenFrom = run.calls.count();
}

// The calls are kept in a ring that the files are given before it wraps over anything they
// lack, with room left for the lows a signal handler adds for every pin.
void record(const sim::Event &event) {
    if (!run.setUp) {
        return;
    }
    if (run.calls.count() - run.unwrittenFrom + kPins >= sim::kCallsKept) {
        writeNewCalls();
    }
    run.calls.push(event);
}

sim::Timeline timeline() { return {&run.calls, run.virtualClock, nowNs()}; }

// Before the process ends on a signal: a pin left high is driven low, as the backends on real
// pins do, and the recordings show it.
void lowerOutputs() {
    if (!run.setUp) {
        return;
    }
    for (int pin = 0; pin < kPins; ++pin) {
        if (run.output[pin] && run.high[pin]) {
            run.calls.push({nowNs(), sim::Call::digitalWrite, pin, LOW, 0});
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
    if (!run.calls.allocate()) {
        errno = ENOMEM;
        return -1;
    }
    if (!sim::openRecordings()) {
        return -1;
    }
    sim::recordUntilTheEnd(timeline, lowerOutputs);

    run.virtualClock = clock != nullptr;
    run.calls.clear();
    run.unwrittenFrom = 0;
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
    if (pri <= 0) {
        // The press is over: the files take it now, where writing cannot stretch its levels.
        writeNewCalls();
    }
    return result;
}

namespace sim {

std::vector<Event> events() {
    std::vector<Event> kept;
    kept.reserve(static_cast<std::size_t>(run.calls.count() - run.calls.oldest()));
    for (std::uint64_t call = run.calls.oldest(); call < run.calls.count(); ++call) {
        kept.push_back(run.calls[call]);
    }
    return kept;
}

void reset() {
    sim::endRecordingsNow();
    const bool refuse = run.refusePriority;
    run.calls.clear();
    run.unwrittenFrom = 0;
    run.setUp = false;
    run.virtualClock = false;
    run.refusePriority = refuse;
}

void refusePriority(bool refuse) { run.refusePriority = refuse; }

void sayNothingIsTransmitted(bool say) { run.sayNothingIsTransmitted = say; }

void useRealDelay(void (*delay)(unsigned int us)) { run.realDelay = delay != nullptr ? delay : gpio::delayUs; }

}  // namespace sim
