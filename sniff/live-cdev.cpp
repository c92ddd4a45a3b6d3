// SPDX-License-Identifier: MIT
// Listening on a GPIO input through the kernel's edge events and their timestamps.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "cdev.h"
#include "clock.h"
#include "fail.h"
#include "fd.h"
#include "live.h"
#include "pins.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;

void stopListening(int /*signo*/) { interrupted = 1; }

// Silence is noticed within this, so a press is reported soon after it ends.
constexpr int kPollMs = 10;
constexpr int kEdgesPerRead = 64;

double nowUs() { return static_cast<double>(gpio::monotonicNs()) / 1e3; }

}  // namespace

bool listenForPresses(int pin, double seconds, rx::TerunaRx &receiver, unsigned long &lostEdges) {
    const int line = gpio::bcmLineOf(pin);
    if (line < 0) {
        gpio::reportUnknownPin(pin);
        return false;
    }
    gpio::ChipInfo chip;
    std::string why;
    const common::Fd chipFd = gpio::openHeaderChip(chip, why);
    if (!chipFd.valid()) {
        if (why.empty()) {
            why = std::string("cannot open the header's GPIO chip: ") + std::strerror(errno);
        }
        common::complain("%s", why.c_str());
        return false;
    }
    int level = 0;
    const common::Fd lineFd = gpio::requestEdges(chipFd.get(), line, level);
    if (!lineFd.valid()) {
        common::complain("cannot listen on %s: %s", gpio::describeLine(pin, line, chip).c_str(), std::strerror(errno));
        return false;
    }

    struct sigaction action {};
    action.sa_handler = stopListening;  // without SA_RESTART, so that poll returns
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    const double startUs = nowUs();
    const double stopUs = seconds > 0 ? startUs + seconds * 1e6 : -1;
    receiver.level(startUs, level);
    double lastUs = startUs;
    std::uint32_t lastSequence = 0;  // the kernel counts a line's edges from 1
    int failure = 0;
    while (interrupted == 0 && failure == 0 && (stopUs < 0 || lastUs < stopUs)) {
        pollfd ready{lineFd.get(), POLLIN, 0};
        const int polled = poll(&ready, 1, kPollMs);
        lastUs = nowUs();
        if (polled < 0) {
            failure = errno == EINTR ? 0 : errno;
            continue;
        }
        if (polled == 0) {
            // Only a quiet line: with edges still queued, the clock is ahead of them.
            receiver.silentUntil(lastUs);
            continue;
        }
        if ((ready.revents & POLLIN) == 0) {
            // The chip went away (POLLHUP, POLLERR) or the descriptor is no longer one.
            failure = ENODEV;
            continue;
        }
        gpio::Edge edges[kEdgesPerRead];
        const int count = gpio::readEdges(lineFd.get(), edges, kEdgesPerRead);
        if (count < 0) {
            failure = errno == EINTR ? 0 : errno;
            continue;
        }
        for (int i = 0; i < count; ++i) {
            const gpio::Edge &edge = edges[i];
            const double atUs = static_cast<double>(edge.timeNs) / 1e3;
            if (edge.sequence != lastSequence + 1) {
                lostEdges += edge.sequence - lastSequence - 1;
                receiver.edgesLost(atUs, edge.level);
            } else {
                receiver.level(atUs, edge.level);
            }
            lastSequence = edge.sequence;
        }
    }
    receiver.end(lastUs);
    if (failure != 0) {
        common::complain("stopped listening on %s: %s", gpio::describeLine(pin, line, chip).c_str(),
                         std::strerror(failure));
        return false;
    }
    return true;
}
