// SPDX-License-Identifier: MIT
// The simulated pins' recordings apart from the calls they record: the files the environment
// names, and their writing at exit or as a signal ends the process.
#ifndef TERUNA_GPIO_SIM_RECORDING_H
#define TERUNA_GPIO_SIM_RECORDING_H

#include "sim-format.h"

namespace sim {

// Opens the files that TERUNA_SIM_LOG and TERUNA_SIM_VCD name, never as standard input,
// output or error, and empties them only once both are open and are two files. False, with
// errno, when that cannot be done; nothing of this run is then left behind.
bool openRecordings();

// The open recordings are written once, from what `timeline` gives: at exit, or when a signal
// ends the process, after `lastWords` has run. Both must be async-signal-safe.
void writeRecordingsAtEnd(Timeline (*timeline)(), void (*lastWords)());

// Writes them now, unless that is done, for a run that ends before the process does.
void writeRecordingsNow();

}  // namespace sim

#endif
