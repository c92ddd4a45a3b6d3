// SPDX-License-Identifier: MIT
// The simulated pins' recordings apart from the calls they record: the files the environment
// names, written as the run goes and ended at exit or as a signal ends the process.
#ifndef TERUNA_GPIO_SIM_RECORDING_H
#define TERUNA_GPIO_SIM_RECORDING_H

#include "sim-format.h"

namespace sim {

// Opens the files that TERUNA_SIM_LOG and TERUNA_SIM_VCD name, never as standard input,
// output or error, and empties them only once both are open and are two files. False, with
// errno, when that cannot be done; nothing of this run is then left behind.
bool openRecordings();

// The open recordings take what `timeline` gives as the run goes, and are ended once: at exit,
// or when a signal ends the process, after `lastWords` has run. Both must be async-signal-safe.
void recordUntilTheEnd(Timeline (*timeline)(), void (*lastWords)());

// Writes the calls that came since the last write. A file that does not take them is said on
// standard error and given up; the run then ends with status 1.
void writeNewCalls();

// Ends the recordings now, unless that is done, for a run that ends before the process does.
void endRecordingsNow();

}  // namespace sim

#endif
