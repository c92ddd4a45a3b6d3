// SPDX-License-Identifier: MIT
// Reads a recording of the simulated pins back into what a receiver depends on.
#ifndef TERUNA_TESTS_RECORDING_H
#define TERUNA_TESTS_RECORDING_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim.h"

namespace recording {

enum class Symbol { start, one, zero };

struct Frame {
    unsigned int code = 0;
    int bits = 0;
    bool startRose = false;  // the start symbol began with a rising edge
    int endLevel = 0;        // the pin's level after the frame's last symbol
};

struct Transmission {
    std::vector<Frame> frames;
    // Each symbol's measured widths in microseconds: start high; one hold; zero halves.
    std::map<Symbol, std::vector<double>> widthsUs;
    std::vector<std::string> faults;  // anything that is not the line coding
    bool endsWithLowWrite = false;
    int levelAtEnd = -1;
    std::vector<int> prioritiesBefore;  // piHiPri requests before the first write
    std::vector<int> prioritiesAfter;   // and after the last one
    double firstWriteUs = 0;
    double lastWriteUs = 0;
};

// Splits the calls on `pin` into line symbols and frames.
Transmission decode(const std::vector<sim::Event> &events, int pin);

// The call log that TERUNA_SIM_LOG names, read back into events.
std::vector<sim::Event> parseLog(const std::string &text);

std::string readFile(const std::string &path);

}  // namespace recording

#endif
