// SPDX-License-Identifier: MIT
#include "Recording.h"

namespace rx {

std::string feedRecording(const VcdSource &source, const std::string &channel, TerunaRx &receiver, VcdWire &wire,
                          NoDump noDump) {
    VcdStream stream(source);
    std::string trouble;
    do {
        wire = VcdWire();
        // The dump's own time releases a press once it has passed its end, as on a live line.
        trouble = stream.read(
            channel, wire, [&](double timeUs, int level) { receiver.level(timeUs, level); },
            [&](double timeUs) { receiver.silentUntil(timeUs); });
        receiver.end(wire.endUs);
    } while (trouble.empty() && stream.another());
    return noDump == NoDump::isFine && stream.empty() ? "" : trouble;
}

}  // namespace rx
