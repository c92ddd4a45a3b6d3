// SPDX-License-Identifier: MIT
#include "receive.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "Recording.h"
#include "clocks.h"
#include "fail.h"
#include "vcd.h"

namespace mqtt {

namespace {

bool isFifo(int fd) {
    struct stat about {};
    return fstat(fd, &about) == 0 && S_ISFIFO(about.st_mode);
}

std::int64_t wholeUs(double us) { return static_cast<std::int64_t>(std::llround(us)); }

}  // namespace

Receiver::Receiver(const Config &config, Heard onPress)
    : config_(config), onPress_(std::move(onPress)), failure_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

std::string Receiver::start() {
    if (!failure_.valid()) {
        return std::string("cannot make an eventfd: ") + std::strerror(errno);
    }
    if (!config_.receiveFrom.empty()) {
        // Not blocking, so that a FIFO with no writer yet does not hold up the start.
        input_.reset(open(config_.receiveFrom.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!input_.valid()) {
            return "cannot read " + config_.receiveFrom + ": " + std::strerror(errno);
        }
    } else if (config_.rxPin >= 0) {
        std::string why = line_.open(config_.rxPin);
        if (!why.empty()) {
            return why;
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
    return thread_.start([this] { input_.valid() ? readDumps() : listenLive(); });
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

bool Receiver::waitForInput() {
    pollfd ready[] = {{input_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
    int polled = 0;
    do {
        polled = poll(ready, 2, -1);
    } while (polled < 0 && errno == EINTR);
    return ready[1].revents == 0;
}

void Receiver::fail() {
    failed_ = true;
    const std::uint64_t one = 1;
    if (write(failure_.get(), &one, sizeof one) < 0) {
        common::complain("cannot say that listening failed: %s", std::strerror(errno));
    }
}

void Receiver::readDumps() {
    const bool fifo = isFifo(input_.get());
    rx::VcdWire wire;
    // A dump keeps a clock of its own: a press is as far behind now as it is behind the dump
    // time last fed, so a dump fed as it happens gives the times it happened.
    rx::TerunaRx receiver([&](const rx::Press &press) {
        const std::int64_t nowUs = common::realtimeUs();
        onPress_(press, nowUs - wholeUs(wire.endUs - press.timeUs), nowUs - wholeUs(wire.endUs - press.endUs));
    });
    bool stopped = false;
    const rx::VcdSource source = [&](char *buffer, std::size_t size) -> long {
        if (!waitForInput()) {
            stopped = true;
            errno = EINTR;  // stops the reading
            return -1;
        }
        return static_cast<long>(read(input_.get(), buffer, size));
    };
    for (;;) {
        // A writer that wrote nothing has nothing to say.
        const std::string why = rx::feedRecording(source, "", receiver, wire, rx::NoDump::isFine);
        if (stopped) {
            break;
        }
        if (!why.empty()) {
            common::complain("cannot read %s: %s", config_.receiveFrom.c_str(), why.c_str());
        }
        if (!fifo) {
            // A file or a device read once: one that holds no dump leaves the gateway deaf.
            if (!why.empty()) {
                fail();
            }
            break;
        }
        // The writer has gone: the next one opens a new dump.
        input_.reset(open(config_.receiveFrom.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!input_.valid()) {
            common::complain("cannot read %s: %s", config_.receiveFrom.c_str(), std::strerror(errno));
            fail();
            break;
        }
    }
}

void Receiver::listenLive() {
    // The kernel's edge times are on CLOCK_MONOTONIC.
    rx::TerunaRx receiver([&](const rx::Press &press) {
        const std::int64_t offsetUs = common::realtimeOffsetUs();
        onPress_(press, wholeUs(press.timeUs) + offsetUs, wholeUs(press.endUs) + offsetUs);
    });
    const std::string why = line_.follow(
        receiver, [](double /*nowUs*/) { return true; }, stopRead_.get());
    if (!why.empty()) {
        common::complain("%s", why.c_str());
        fail();
    }
}

}  // namespace mqtt
