// The GPIO character device beyond the wiringPi API: what a receiver needs of it.
#ifndef TERUNA_GPIO_CDEV_H
#define TERUNA_GPIO_CDEV_H

#include <cstdint>

#include "chip.h"

namespace gpio {

// Opens the chip of the 40-pin header, or the one TERUNA_GPIOCHIP names, and describes it
// in `chip`. Returns its descriptor, or -1 with errno (ENODEV: no such chip).
int openHeaderChip(ChipInfo &chip);

// Requests `line` as an input that reports both edges, timestamped on CLOCK_MONOTONIC, and
// reads its level into `level`. Returns the line's descriptor, or -1 with errno.
int requestEdges(int chipFd, int line, int &level);

struct Edge {
    std::int64_t timeNs;
    int level;  // after the edge
};

// Reads the edges the kernel has queued, up to `capacity`, waiting for one when there is
// none. Returns how many, or -1 with errno.
int readEdges(int lineFd, Edge *edges, int capacity);

}  // namespace gpio

#endif
