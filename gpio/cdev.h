// SPDX-License-Identifier: MIT
// The GPIO character device beyond the wiringPi API: the header's chip, and what a receiver
// needs of a line. Needs no part of the wiringPi API.
#ifndef TERUNA_GPIO_CDEV_H
#define TERUNA_GPIO_CDEV_H

#include <cstdint>
#include <string>

#include "chip.h"
#include "fd.h"

namespace gpio {

// Opens the chip of the 40-pin header, or the one TERUNA_GPIOCHIP names, and describes it
// in `chip`. Returns it, or nothing with errno (ENODEV: no such chip), and in `why` what to
// tell a user where errno alone would not (a chip they may not open).
common::Fd openHeaderChip(ChipInfo &chip, std::string &why);

// The edges the kernel keeps for a listener that falls behind.
constexpr unsigned int kEdgeBufferSize = 1024;

// Requests `line` as an input that reports both edges, timestamped on CLOCK_MONOTONIC, and
// reads its level into `level`. The descriptor does not block. Returns it, or nothing with
// errno.
common::Fd requestEdges(int chipFd, int line, int &level);

struct Edge {
    std::int64_t timeNs;
    int level;               // after the edge
    std::uint32_t sequence;  // counts the line's edges from 1; a gap is edges the kernel dropped
};

// The most edges one readEdges call returns.
constexpr int kEdgesPerRead = 64;

// Reads the edges the kernel has queued, up to `capacity` and kEdgesPerRead. Returns how many
// (0 when none is queued), or -1 with errno.
int readEdges(int lineFd, Edge *edges, int capacity);

}  // namespace gpio

#endif
