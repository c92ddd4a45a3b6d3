// SPDX-License-Identifier: MIT
// Real pins through the kernel's GPIO character device (uAPI v2, Linux 5.10 and later).
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

#include "cdev.h"
#include "chip.h"
#include "clock.h"
#include "clocks.h"
#include "fail.h"
#include "fd.h"
#include "pins.h"
#include "signals.h"
#include "wiringPi.h"

namespace {

constexpr int kPins = 32;

struct Header {
    Header() { std::fill(std::begin(outputFds), std::end(outputFds), -1); }

    common::Fd chipFd;
    gpio::ChipInfo chip;
    std::array<common::Fd, kPins> lineFds;  // indexed by wiringPi pin
    // The lines held as outputs, for a handler that cannot walk the owners above.
    volatile sig_atomic_t outputFds[kPins];
};

Header header;

// A process that dies holding a line leaves it at its last level: a fault in the middle of a
// press would key the transmitter until the next run. One ioctl per line, nothing else.
void lowerOutputs() {
    gpio_v2_line_values low{};
    low.mask = 1;
    for (const volatile sig_atomic_t &fd : header.outputFds) {
        if (fd >= 0) {
            ioctl(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &low);
        }
    }
}

[[noreturn]] void exitWith(const std::string &message) { common::fail(1, "%s", message.c_str()); }

}  // namespace

extern "C" int wiringPiSetup(void) {
    if (header.chipFd.valid()) {
        return 0;
    }
    std::string why;
    header.chipFd = gpio::openHeaderChip(header.chip, why);
    if (!header.chipFd.valid()) {
        if (!why.empty()) {
            common::complain("%s", why.c_str());
        }
        return -1;
    }
    common::onFatalSignal(lowerOutputs);
    return 0;
}

extern "C" void pinMode(int pin, int mode) {
    const int line = gpio::bcmLineOf(pin);
    if (line < 0) {
        gpio::exitUnknownPin(pin);
    }
    if (static_cast<unsigned int>(line) >= header.chip.lines) {
        exitWith(gpio::missingLineError(pin, line, header.chip));
    }
    common::Fd &lineFd = header.lineFds[static_cast<std::size_t>(pin)];
    header.outputFds[pin] = -1;
    lineFd.reset();

    gpio_v2_line_request request{};
    request.offsets[0] = static_cast<__u32>(line);
    request.num_lines = 1;
    std::strncpy(request.consumer, "teruna", sizeof request.consumer - 1);
    if (mode == OUTPUT) {
        request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
        request.config.num_attrs = 1;
        request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        request.config.attrs[0].attr.values = 0;  // starts low
        request.config.attrs[0].mask = 1;
    } else {
        request.config.flags = GPIO_V2_LINE_FLAG_INPUT;
    }
    const auto requestLine = [&] { return ioctl(header.chipFd.get(), GPIO_V2_GET_LINE_IOCTL, &request); };
    const auto pause = [] {
        const timespec wait{0, gpio::kBusyPauseNs};
        nanosleep(&wait, nullptr);
    };
    if (gpio::retryWhileBusy(requestLine, gpio::kBusyPatienceNs, common::monotonicNs, pause) != 0) {
        exitWith(gpio::lineRequestError(pin, line, header.chip, errno));
    }
    lineFd.reset(request.fd);
    header.outputFds[pin] = mode == OUTPUT ? request.fd : -1;
}

extern "C" void digitalWrite(int pin, int value) {
    const int line = gpio::bcmLineOf(pin);
    if (line < 0) {
        gpio::exitUnknownPin(pin);
    }
    gpio_v2_line_values values{};
    values.bits = value != LOW ? 1 : 0;
    values.mask = 1;
    const int lineFd = header.lineFds[static_cast<std::size_t>(pin)].get();
    if (lineFd < 0) {
        exitWith(gpio::lineWriteError(pin, line, header.chip, value, "pinMode has not made it an output"));
    }
    if (ioctl(lineFd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0) {
        exitWith(gpio::lineWriteError(pin, line, header.chip, value, std::strerror(errno)));
    }
}

extern "C" void delayMicroseconds(unsigned int howLong) { gpio::delayUs(howLong); }

extern "C" int piHiPri(const int pri) {
    const int result = gpio::requestPriority(pri);
    if (result != 0 && pri > 0) {
        gpio::sayPriorityRefused(errno);
    }
    return result;
}
