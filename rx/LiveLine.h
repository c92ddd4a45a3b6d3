// SPDX-License-Identifier: MIT
// A GPIO input whose edges, with the kernel's timestamps, feed a receiver: what every program
// that listens live shares. Linux only (the GPIO character device).
#ifndef TERUNA_RX_LIVELINE_H
#define TERUNA_RX_LIVELINE_H

#include <functional>
#include <string>

#include "TerunaRx.h"
#include "fd.h"

namespace rx {

class LiveLine {
public:
    // Requests the edges of wiringPi pin `pin` on the header's chip. Returns "", or what
    // failed and why, as one line for the user.
    std::string open(int pin);

    // Feeds `receiver` the line's edges until `keepGoing(nowUs)` says no (it is asked at least
    // every 10 ms, and after a signal) or `stopFd`, unless -1, becomes readable. Returns "", or
    // why listening stopped ("stopped listening on pin 2 (...): No such device").
    std::string follow(TerunaRx &receiver, const std::function<bool(double nowUs)> &keepGoing, int stopFd = -1);

    // Edges the kernel dropped: each gap breaks the frame it falls into.
    [[nodiscard]] unsigned long lostEdges() const { return lostEdges_; }

private:
    common::Fd line_;
    int level_ = 0;
    std::string name_;  // "pin 2 (BCM 27, line 27 of /dev/gpiochip0 'pinctrl-bcm2835')"
    unsigned long lostEdges_ = 0;
};

}  // namespace rx

#endif
