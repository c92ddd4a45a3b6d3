// SPDX-License-Identifier: MIT
// A receiver's input as runs of levels: presses as the transmitter sends them, noise, and
// what receiver modules make of them; shared by the tests and the benchmark.
#ifndef TERUNA_TESTS_LINE_H
#define TERUNA_TESTS_LINE_H

#include <random>
#include <string>
#include <vector>

#include "TerunaRx.h"

namespace line {

struct Run {
    int level;
    double widthUs;
};
using Runs = std::vector<Run>;

// The line's runs during one transmission of `word`, from the calls the transmitter made.
Runs transmission(unsigned int word, unsigned char bitCount);
Runs press(unsigned short remoteId, unsigned char buttonId);

// Appends `more`, joining runs of the same level.
void append(Runs &runs, const Runs &more);

Runs silence(double us);

// Random runs of both levels, `minUs` to `maxUs` wide, as a receiver's gain control makes
// between transmissions.
Runs noise(std::mt19937 &random, double us, double minUs = 5, double maxUs = 2500);

void jitter(Runs &runs, std::mt19937 &random, double fraction);
void scale(Runs &runs, double factor);

// Pulses of the other level, 1 to 39 us wide, anywhere inside runs.
void glitch(Runs &runs, std::mt19937 &random, int count);

// What a receiver module makes of a transmission: every width scaled by the remote's clock,
// high runs longer by `skewUs` and low runs as much shorter (the data slicer), each run
// jittered by up to `jitterShare` of its width, and a glitch of 1 to 39 us in about
// `glitchShare` of the runs.
Runs received(const Runs &sent, double scaleFactor, double skewUs, double jitterShare, double glitchShare,
              std::mt19937 &random);

// The level changes of `runs`, the first at time 0, and the time the last run ends.
std::vector<std::pair<double, int>> levels(const Runs &runs, double &endUs);

std::vector<rx::Press> decode(const Runs &runs);

// A value change dump of `runs` on one wire, in microseconds.
std::string vcd(const Runs &runs);

}  // namespace line

#endif
