// SPDX-License-Identifier: MIT
// A receiver fed from recordings: the Value Change Dumps of a file, or of a FIFO's writers.
#ifndef TERUNA_RX_RECORDING_H
#define TERUNA_RX_RECORDING_H

#include <string>

#include "TerunaRx.h"
#include "vcd.h"

namespace rx {

// What a source that holds nothing but white space is: a file that is not a dump, or a FIFO's
// writer that opened it and wrote nothing.
enum class NoDump { isTrouble, isFine };

// Feeds `receiver` the wire `channel` (or the first 1-bit wire) of each dump that `source`
// holds, one after another however closely they follow: each is read whole and on its own,
// and the receiver ends it, reporting its last press, before it starts afresh on the next.
// `wire` is that of the dump being read; its endUs is the dump time last fed to the receiver,
// also while the receiver reports a press. Returns "" once the source has ended or stopped
// (`wire.stopped`), or what is wrong with the dump where reading stopped.
std::string feedRecording(const VcdSource &source, const std::string &channel, TerunaRx &receiver, VcdWire &wire,
                          NoDump noDump = NoDump::isTrouble);

}  // namespace rx

#endif
