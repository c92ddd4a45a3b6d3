// SPDX-License-Identifier: MIT
#include "sim-format.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "clocks.h"
#include "pins.h"
#include "wiringPi.h"

namespace sim {

namespace {

bool readAt(int fd, char *data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = pread(fd, data, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            errno = n < 0 ? errno : EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

bool writeAt(int fd, const char *data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            errno = n < 0 ? errno : ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

// Moves what a regular file holds from `from` on `by` bytes further, the last bytes first.
bool moveTail(int fd, off_t from, off_t by) {
    // Not on the stack: a signal handler's own stack is small.
    static char chunk[std::size_t{1} << 16];
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
        return false;
    }
    while (end > from) {
        const auto size = static_cast<std::size_t>(std::min<off_t>(end - from, sizeof chunk));
        end -= static_cast<off_t>(size);
        if (!readAt(fd, chunk, size, end) || !writeAt(fd, chunk, size, end + by)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool CallRing::allocate() {
    if (!slots_) {
        // Left uninitialised, the pages are only resident once calls fill them.
        slots_.reset(new (std::nothrow) Event[kCallsKept]);
    }
    return slots_ != nullptr;
}

bool FdWriter::finish() {
    flush();
    if (error_ != 0) {
        errno = error_;
    }
    return error_ == 0;
}

bool FdWriter::finishAt(off_t offset) {
    if (error_ == 0 && !writeAt(fd_, buffer_, used_, offset)) {
        error_ = errno;
    }
    used_ = 0;
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

bool LogWriter::write(int fd, const Timeline &timeline, std::int64_t giveUpNs) {
    static const char *const kNames[] = {"wiringPiSetup", "pinMode", "digitalWrite", "delayMicroseconds", "piHiPri"};
    const CallRing &calls = *timeline.calls;
    FdWriter out(fd, giveUpNs);
    for (; next_ < calls.count(); ++next_) {
        const Event &event = calls[next_];
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

bool VcdWriter::write(int fd, const Timeline &timeline, std::int64_t giveUpNs) {
    return writeChanges(fd, timeline, giveUpNs, false);
}

bool VcdWriter::finish(int fd, const Timeline &timeline, std::int64_t giveUpNs) {
    return writeChanges(fd, timeline, giveUpNs, true);
}

int VcdWriter::wireOf(std::int64_t pin) const {
    for (int i = 0; i < wires_; ++i) {
        if (pins_[i] == pin) {
            return i;
        }
    }
    return -1;
}

bool VcdWriter::writeChanges(int fd, const Timeline &timeline, std::int64_t giveUpNs, bool last) {
    const CallRing &calls = *timeline.calls;
    for (std::uint64_t call = next_; call < calls.count(); ++call) {
        const Event &event = calls[call];
        if (event.call == Call::pinMode && gpio::bcmLineOf(static_cast<int>(event.first)) >= 0 &&
            wireOf(event.first) < 0 && wires_ < kMaxWires) {
            pins_[wires_] = static_cast<int>(event.first);
            level_[wires_] = 'z';
            ++wires_;
        }
    }
    if (!declareWires(fd, giveUpNs)) {
        return false;
    }

    FdWriter out(fd, giveUpNs);
    for (; next_ < calls.count(); ++next_) {
        const Event &event = calls[next_];
        const bool drivesPin = event.call == Call::pinMode || event.call == Call::digitalWrite;
        const int wire = drivesPin ? wireOf(event.first) : -1;
        if (wire < 0) {
            continue;
        }
        char next = level_[wire];
        if (event.call == Call::pinMode) {
            next = event.second == OUTPUT ? (level_[wire] == 'z' ? '0' : level_[wire]) : 'z';
        } else if (event.call == Call::digitalWrite && level_[wire] != 'z') {
            next = event.second == LOW ? '0' : '1';
        }
        if (next == level_[wire]) {
            continue;
        }
        if (event.timeNs != shownNs_) {
            shownNs_ = event.timeNs;
            out << '#' << shownNs_ << '\n';
        }
        // Changes at one instant are all kept, so a zero-width pulse stays visible.
        out << next << static_cast<char>('!' + wire) << '\n';
        level_[wire] = next;
    }
    if (last && timeline.endNs > shownNs_) {
        out << '#' << timeline.endNs << '\n';
    }
    return out.finish();
}

bool VcdWriter::declareWires(int fd, std::int64_t giveUpNs) {
    if (declared_ == wires_) {
        return true;
    }
    FdWriter header(fd, giveUpNs);
    header << "$version teruna simulated pins $end\n$timescale 1ns $end\n$scope module gpio $end\n";
    for (int i = 0; i < wires_; ++i) {
        header << "$var wire 1 " << static_cast<char>('!' + i) << " pin" << std::int64_t{pins_[i]} << " $end\n";
    }
    header << "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    for (int i = 0; i < wires_; ++i) {
        header << 'z' << static_cast<char>('!' + i) << '\n';
    }
    header << "$end\n";
    const std::size_t bytes = header.buffered();
    if (declared_ < 0) {
        if (!header.finish()) {
            return false;
        }
    } else {
        // What follows the header in the file moves down by the new wires' lines.
        struct stat about {};
        if (fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)) {
            errno = ESPIPE;
            return false;
        }
        if (!moveTail(fd, static_cast<off_t>(headerBytes_), static_cast<off_t>(bytes - headerBytes_)) ||
            !header.finishAt(0) || lseek(fd, 0, SEEK_END) < 0) {
            return false;
        }
    }
    headerBytes_ = bytes;
    declared_ = wires_;
    return true;
}

}  // namespace sim
