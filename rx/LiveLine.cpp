// SPDX-License-Identifier: MIT
#include "LiveLine.h"

#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "cdev.h"
#include "clocks.h"
#include "pins.h"

namespace rx {

namespace {

// Silence is noticed within this, so a press is reported soon after it ends.
constexpr int kPollMs = 10;

double nowUs() { return static_cast<double>(common::monotonicNs()) / 1e3; }

}  // namespace

std::string LiveLine::open(int pin) {
    const int line = gpio::bcmLineOf(pin);
    if (line < 0) {
        return gpio::unknownPinError(pin);
    }
    gpio::ChipInfo chip;
    std::string why;
    const common::Fd chipFd = gpio::openHeaderChip(chip, why);
    if (!chipFd.valid()) {
        return why.empty() ? std::string("cannot open the header's GPIO chip: ") + std::strerror(errno) : why;
    }
    name_ = gpio::describeLine(pin, line, chip);
    line_ = gpio::requestEdges(chipFd.get(), line, level_);
    if (!line_.valid()) {
        return "cannot listen on " + name_ + ": " + std::strerror(errno);
    }
    return "";
}

std::string LiveLine::follow(TerunaRx &receiver, const std::function<bool(double nowUs)> &keepGoing, int stopFd) {
    double lastUs = nowUs();
    receiver.level(lastUs, level_);
    std::uint32_t lastSequence = 0;  // the kernel counts a line's edges from 1
    int failure = 0;
    while (failure == 0 && keepGoing(lastUs)) {
        pollfd ready[] = {{line_.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int polled = poll(ready, stopFd >= 0 ? 2 : 1, kPollMs);
        lastUs = nowUs();
        if (polled < 0) {
            failure = errno == EINTR ? 0 : errno;
            continue;
        }
        if (stopFd >= 0 && ready[1].revents != 0) {
            break;
        }
        if (polled == 0) {
            // Only a quiet line: with edges still queued, the clock is ahead of them.
            receiver.silentUntil(lastUs);
            continue;
        }
        if ((ready[0].revents & POLLIN) == 0) {
            // The chip went away (POLLHUP, POLLERR) or the descriptor is no longer one.
            failure = ENODEV;
            continue;
        }
        gpio::Edge edges[gpio::kEdgesPerRead];
        const int count = gpio::readEdges(line_.get(), edges, gpio::kEdgesPerRead);
        if (count <= 0) {
            // Readable with nothing to read: the chip went away.
            failure = count < 0 ? (errno == EINTR ? 0 : errno) : ENODEV;
            continue;
        }
        for (int i = 0; i < count; ++i) {
            const gpio::Edge &edge = edges[i];
            const double atUs = static_cast<double>(edge.timeNs) / 1e3;
            if (edge.sequence != lastSequence + 1) {
                lostEdges_ += edge.sequence - lastSequence - 1;
                receiver.edgesLost(atUs, edge.level);
            } else {
                receiver.level(atUs, edge.level);
            }
            lastSequence = edge.sequence;
        }
    }
    receiver.end(lastUs);
    return failure != 0 ? "stopped listening on " + name_ + ": " + std::strerror(failure) : "";
}

}  // namespace rx
