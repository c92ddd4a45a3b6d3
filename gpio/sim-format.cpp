// SPDX-License-Identifier: MIT
#include "sim-format.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "clocks.h"
#include "pins.h"
#include "wiringPi.h"

namespace sim {

bool FdWriter::finish() {
    flush();
    if (error_ != 0) {
        errno = error_;
    }
    return error_ == 0;
}

FdWriter &FdWriter::operator<<(const char *text) {
    while (*text != '\0') {
        put(*text++);
    }
    return *this;
}

FdWriter &FdWriter::operator<<(char c) {
    put(c);
    return *this;
}

FdWriter &FdWriter::operator<<(std::int64_t number) {
    char digits[24];
    int count = 0;
    const bool negative = number < 0;
    // Negated digit by digit, so that the most negative value needs no special case.
    do {
        const int digit = static_cast<int>(number % 10);
        digits[count++] = static_cast<char>('0' + (negative ? -digit : digit));
        number /= 10;
    } while (number != 0);
    if (negative) {
        put('-');
    }
    while (count > 0) {
        put(digits[--count]);
    }
    return *this;
}

void FdWriter::micros(std::int64_t ns, bool virtualClock) {
    *this << ns / 1000;
    if (!virtualClock) {
        const auto fraction = static_cast<int>(ns % 1000);
        *this << '.' << static_cast<char>('0' + fraction / 100) << static_cast<char>('0' + fraction / 10 % 10)
              << static_cast<char>('0' + fraction % 10);
    }
}

void FdWriter::put(char c) {
    if (used_ == sizeof buffer_) {
        flush();
    }
    buffer_[used_++] = c;
}

void FdWriter::flush() {
    std::size_t done = 0;
    while (done < used_ && error_ == 0) {
        const ssize_t n = write(fd_, buffer_ + done, used_ - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN && waitUntilWritable()) {
            continue;
        }
        if (n <= 0) {
            error_ = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    used_ = 0;
}

bool FdWriter::waitUntilWritable() {
    const std::int64_t leftNs = giveUpNs_ - common::monotonicNs();
    if (leftNs <= 0) {
        errno = ETIMEDOUT;
        return false;
    }
    pollfd ready{fd_, POLLOUT, 0};
    const int n = poll(&ready, 1, static_cast<int>(leftNs / 1'000'000 + 1));
    if (n == 0) {
        errno = ETIMEDOUT;
    }
    return n > 0 || (n < 0 && errno == EINTR);
}

bool writeLog(int fd, const Timeline &timeline, std::int64_t giveUpNs) {
    static const char *const kNames[] = {"wiringPiSetup", "pinMode", "digitalWrite", "delayMicroseconds", "piHiPri"};
    FdWriter out(fd, giveUpNs);
    for (const Event &event : *timeline.events) {
        out.micros(event.timeNs, timeline.virtualClock);
        out << ' ' << kNames[static_cast<int>(event.call)];
        switch (event.call) {
        case Call::wiringPiSetup:
            out << ' ' << std::int64_t{event.result};
            break;
        case Call::pinMode:
        case Call::digitalWrite:
            out << ' ' << event.first << ' ' << std::int64_t{event.second};
            break;
        case Call::delayMicroseconds:
            out << ' ' << event.first;
            break;
        case Call::piHiPri:
            out << ' ' << event.first << ' ' << std::int64_t{event.result};
            break;
        }
        out << '\n';
    }
    return out.finish();
}

namespace {

constexpr int kMaxWires = 32;

}  // namespace

bool writeVcd(int fd, const Timeline &timeline, std::int64_t giveUpNs) {
    int pins[kMaxWires];
    char level[kMaxWires];
    int wires = 0;
    auto wireOf = [&](std::int64_t pin) {
        for (int i = 0; i < wires; ++i) {
            if (pins[i] == pin) {
                return i;
            }
        }
        return -1;
    };
    for (const Event &event : *timeline.events) {
        if (event.call == Call::pinMode && gpio::bcmLineOf(static_cast<int>(event.first)) >= 0 &&
            wireOf(event.first) < 0 && wires < kMaxWires) {
            pins[wires] = static_cast<int>(event.first);
            level[wires] = 'z';
            ++wires;
        }
    }

    FdWriter out(fd, giveUpNs);
    out << "$version teruna simulated pins $end\n$timescale 1ns $end\n$scope module gpio $end\n";
    for (int i = 0; i < wires; ++i) {
        out << "$var wire 1 " << static_cast<char>('!' + i) << " pin" << std::int64_t{pins[i]} << " $end\n";
    }
    out << "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    for (int i = 0; i < wires; ++i) {
        out << 'z' << static_cast<char>('!' + i) << '\n';
    }
    out << "$end\n";

    std::int64_t shownNs = 0;
    for (const Event &event : *timeline.events) {
        const bool drivesPin = event.call == Call::pinMode || event.call == Call::digitalWrite;
        const int wire = drivesPin ? wireOf(event.first) : -1;
        if (wire < 0) {
            continue;
        }
        char next = level[wire];
        if (event.call == Call::pinMode) {
            next = event.second == OUTPUT ? (level[wire] == 'z' ? '0' : level[wire]) : 'z';
        } else if (event.call == Call::digitalWrite && level[wire] != 'z') {
            next = event.second == LOW ? '0' : '1';
        }
        if (next == level[wire]) {
            continue;
        }
        if (event.timeNs != shownNs) {
            shownNs = event.timeNs;
            out << '#' << shownNs << '\n';
        }
        // Changes at one instant are all kept, so a zero-width pulse stays visible.
        out << next << static_cast<char>('!' + wire) << '\n';
        level[wire] = next;
    }
    if (timeline.endNs > shownNs) {
        out << '#' << timeline.endNs << '\n';
    }
    return out.finish();
}

}  // namespace sim
