// SPDX-License-Identifier: MIT
// Listening on a GPIO input, on builds for Linux.
#ifndef TERUNA_SNIFF_LIVE_H
#define TERUNA_SNIFF_LIVE_H

#include "TerunaRx.h"

// Feeds `receiver` the edges of wiringPi pin `pin` until SIGINT, SIGTERM or SIGHUP, or until
// `seconds` have passed when that is positive, counting in `lostEdges` the edges the kernel
// dropped. Returns true when it listened until then; otherwise it has said why on standard
// error.
bool listenForPresses(int pin, double seconds, rx::TerunaRx &receiver, unsigned long &lostEdges);

#endif
