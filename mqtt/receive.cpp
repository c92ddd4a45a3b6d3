// SPDX-License-Identifier: MIT
#include "receive.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cdev.h"
#include "clock.h"
#include "fail.h"
#include "pins.h"
#include "vcd.h"

namespace mqtt {

namespace {

// Silence is noticed within this, so a press is reported soon after it ends.
constexpr int kPollMs = 10;
constexpr int kEdgesPerRead = 64;

double nowUs() { return static_cast<double>(gpio::monotonicNs()) / 1e3; }

bool isFifo(int fd) {
    struct stat about {};
    return fstat(fd, &about) == 0 && S_ISFIFO(about.st_mode);
}

}  // namespace

std::string Receiver::start() {
    if (!config_.receiveFrom.empty()) {
        // Not blocking, so that a FIFO with no writer yet does not hold up the start.
        input_.reset(open(config_.receiveFrom.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!input_.valid()) {
            return "cannot read " + config_.receiveFrom + ": " + std::strerror(errno);
        }
    } else if (config_.rxPin >= 0) {
        const int line = gpio::bcmLineOf(config_.rxPin);
        gpio::ChipInfo chip;
        const common::Fd chipFd = gpio::openHeaderChip(chip);
        if (!chipFd.valid()) {
            return std::string("cannot open the header's GPIO chip: ") + std::strerror(errno);
        }
        lineName_ = gpio::describeLine(config_.rxPin, line, chip);
        line_ = gpio::requestEdges(chipFd.get(), line, level_);
        if (!line_.valid()) {
            return "cannot listen on " + lineName_ + ": " + std::strerror(errno);
        }
    } else {
        return "";
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return std::string("cannot make a pipe: ") + std::strerror(errno);
    }
    stopRead_.reset(ends[0]);
    stopWrite_.reset(ends[1]);
    thread_ = std::thread([this] { input_.valid() ? readDumps() : listenLive(); });
    return "";
}

void Receiver::stop() {
    if (thread_.joinable()) {
        const char wake = 0;
        if (write(stopWrite_.get(), &wake, 1) < 0) {
            common::complain("cannot stop listening: %s", std::strerror(errno));
        }
        thread_.join();
    }
}

bool Receiver::waitFor(int fd, int timeoutMs, bool &timedOut) {
    pollfd ready[] = {{fd, POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
    int polled = 0;
    do {
        polled = poll(ready, 2, timeoutMs);
    } while (polled < 0 && errno == EINTR);
    timedOut = polled == 0;
    return ready[1].revents == 0;
}

void Receiver::readDumps() {
    const bool fifo = isFifo(input_.get());
    bool stopped = false;
    while (!stopped) {
        TerunaRx rx(onPress_);
        VcdWire wire;
        const VcdSource source = [&](char *buffer, std::size_t size) -> long {
            bool timedOut = false;
            if (!waitFor(input_.get(), -1, timedOut)) {
                stopped = true;
                return 0;
            }
            return static_cast<long>(read(input_.get(), buffer, size));
        };
        const std::string trouble =
            readVcd(source, "", wire, [&](double timeUs, int level) { rx.level(timeUs, level); });
        if (stopped) {
            break;
        }
        if (!trouble.empty()) {
            common::complain("cannot read %s: %s", config_.receiveFrom.c_str(), trouble.c_str());
        } else {
            rx.end(wire.endUs);
        }
        if (!fifo) {
            break;
        }
        // The writer has gone: the next one opens a new dump.
        input_.reset(open(config_.receiveFrom.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!input_.valid()) {
            common::complain("cannot read %s: %s", config_.receiveFrom.c_str(), std::strerror(errno));
            failed_ = true;
            break;
        }
    }
}

void Receiver::listenLive() {
    TerunaRx rx(onPress_);
    rx.level(nowUs(), level_);
    std::uint32_t lastSequence = 0;  // the kernel counts a line's edges from 1
    int failure = 0;
    bool timedOut = false;
    while (failure == 0 && waitFor(line_.get(), kPollMs, timedOut)) {
        if (timedOut) {
            rx.silentUntil(nowUs());
            continue;
        }
        gpio::Edge edges[kEdgesPerRead];
        const int count = gpio::readEdges(line_.get(), edges, kEdgesPerRead);
        if (count < 0) {
            failure = errno == EINTR ? 0 : errno;
            continue;
        }
        if (count == 0) {
            // Readable with nothing to read: the chip went away.
            failure = ENODEV;
            continue;
        }
        for (int i = 0; i < count; ++i) {
            const gpio::Edge &edge = edges[i];
            const double atUs = static_cast<double>(edge.timeNs) / 1e3;
            if (edge.sequence != lastSequence + 1) {
                rx.edgesLost(atUs, edge.level);
            } else {
                rx.level(atUs, edge.level);
            }
            lastSequence = edge.sequence;
        }
    }
    rx.end(nowUs());
    if (failure != 0) {
        common::complain("stopped listening on %s: %s", lineName_.c_str(), std::strerror(failure));
        failed_ = true;
    }
}

}  // namespace mqtt
