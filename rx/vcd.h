// SPDX-License-Identifier: MIT
// Reads one 1-bit wire out of a Value Change Dump, as a stream: the subset that the
// simulated pins, GTKWave, PulseView and sigrok-cli write.
#ifndef TERUNA_SNIFF_VCD_H
#define TERUNA_SNIFF_VCD_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

struct VcdWire {
    std::string name;      // "pin0"
    double endUs = 0;      // the last time read, also where reading failed or stopped
    bool stopped = false;  // the source stopped the reading
};

// Fills the buffer with the next bytes of the dump; returns how many, 0 at its end, or -1
// with errno when it cannot be read. -1 with EINTR stops the reading at once: what was read
// counts, a word cut short by the stop does not.
using VcdSource = std::function<long(char *buffer, std::size_t size)>;

// The wire's level changes, time in us and level 0 or 1 (x and z read as 0), in time order.
using VcdLevels = std::function<void(double timeUs, int level)>;
// Every time the dump reaches, changes or none.
using VcdTimes = std::function<void(double timeUs)>;

// Reads the wire named `channel`, or the first 1-bit wire or register when `channel` is
// empty, passing its changes to `onLevel` and the times to `onTime` as they are read;
// memory stays small whatever the dump's length. Returns "" on success, or what is wrong
// with the dump.
std::string readVcd(const VcdSource &source, const std::string &channel, VcdWire &wire, const VcdLevels &onLevel,
                    const VcdTimes &onTime = {});

// The same, from a dump in memory.
std::string readVcdText(std::string_view text, const std::string &channel, VcdWire &wire, const VcdLevels &onLevel,
                        const VcdTimes &onTime = {});

#endif
