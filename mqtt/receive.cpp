// SPDX-License-Identifier: MIT
#include "receive.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fail.h"
#include "vcd.h"

namespace mqtt {

namespace {

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
        std::string trouble = line_.open(config_.rxPin);
        if (!trouble.empty()) {
            return trouble;
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

bool Receiver::waitForInput() {
    pollfd ready[] = {{input_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
    int polled = 0;
    do {
        polled = poll(ready, 2, -1);
    } while (polled < 0 && errno == EINTR);
    return ready[1].revents == 0;
}

void Receiver::readDumps() {
    const bool fifo = isFifo(input_.get());
    bool stopped = false;
    while (!stopped) {
        rx::TerunaRx receiver(onPress_);
        VcdWire wire;
        const VcdSource source = [&](char *buffer, std::size_t size) -> long {
            if (!waitForInput()) {
                stopped = true;
                errno = EINTR;  // stops the reading
                return -1;
            }
            return static_cast<long>(read(input_.get(), buffer, size));
        };
        // The dump's own time releases a press once it has passed its end, as on a live line.
        const std::string trouble = readVcd(
            source, "", wire, [&](double timeUs, int level) { receiver.level(timeUs, level); },
            [&](double timeUs) { receiver.silentUntil(timeUs); });
        receiver.end(wire.endUs);
        if (stopped) {
            break;
        }
        if (!trouble.empty()) {
            common::complain("cannot read %s: %s", config_.receiveFrom.c_str(), trouble.c_str());
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
    rx::TerunaRx receiver(onPress_);
    const std::string trouble = line_.follow(
        receiver, [](double /*nowUs*/) { return true; }, stopRead_.get());
    if (!trouble.empty()) {
        common::complain("%s", trouble.c_str());
        failed_ = true;
    }
}

}  // namespace mqtt
