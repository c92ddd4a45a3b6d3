// SPDX-License-Identifier: MIT
// In-process access to the simulated pins' recording, for tests.
#ifndef TERUNA_GPIO_SIM_H
#define TERUNA_GPIO_SIM_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

enum class Call { wiringPiSetup, pinMode, digitalWrite, delayMicroseconds, piHiPri };

// One call of the GPIO API, timed from wiringPiSetup. `first` and `second` are the
// call's arguments in order (pin and mode or value; microseconds; priority), and
// `result` what it returned, for the calls that return something.
struct Event {
    std::int64_t timeNs;
    Call call;
    std::int64_t first;
    int second;
    int result;
};

// How many of the latest calls are kept in memory. The recording files get every call: they
// are written as the run goes, whenever a press gives back its priority or this many are due.
constexpr std::size_t kCallsKept = std::size_t{1} << 16;

// What was recorded since wiringPiSetup: all of it, or the latest kCallsKept calls.
std::vector<Event> events();

// Writes the rest of the recording files, then forgets the recording and the set-up, so that the
// next wiringPiSetup starts a new run and reads the environment again.
void reset();

// Makes piHiPri fail as it does for a user without the right to real-time priority.
void refusePriority(bool refuse);

// Whether a run on the real clock without recordings says on standard error that nothing is
// transmitted (it does, unless told otherwise).
void sayNothingIsTransmitted(bool say);

// Replaces the real clock's delay (nullptr: back to the shared precise one), to compare
// delays against each other.
void useRealDelay(void (*delay)(unsigned int us));

}  // namespace sim

#endif
