// Reads one 1-bit wire out of a Value Change Dump: the subset that the simulated pins,
// GTKWave, PulseView and sigrok-cli write.
#ifndef TERUNA_SNIFF_VCD_H
#define TERUNA_SNIFF_VCD_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct VcdWire {
    std::string name;                            // "pin0"
    std::vector<std::pair<double, int>> levels;  // (time in us, 0 or 1), in time order; x and z read as 0
    double endUs = 0;                            // the dump's last time
};

// Reads the wire named `channel`, or the first 1-bit wire when `channel` is empty.
// Returns "" on success, or what is wrong with the dump.
std::string readVcd(std::string_view text, const std::string &channel, VcdWire &wire);

#endif
