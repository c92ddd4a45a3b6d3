// SPDX-License-Identifier: MIT
// Real pins through the kernel's GPIO character device (uAPI v2, Linux 5.10 and later).
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cdev.h"
#include "chip.h"
#include "clock.h"
#include "fail.h"
#include "fd.h"
#include "pins.h"
#include "wiringPi.h"

namespace {

constexpr int kPins = 32;

struct Header {
    common::Fd chipFd;
    gpio::ChipInfo chip;
    std::array<common::Fd, kPins> lineFds;  // indexed by wiringPi pin
};

Header header;

[[noreturn]] void exitWith(const std::string &message) { common::fail(1, "%s", message.c_str()); }

}  // namespace

extern "C" int wiringPiSetup(void) {
    if (header.chipFd.valid()) {
        return 0;
    }
    std::string why;
    header.chipFd = gpio::openHeaderChip(header.chip, why);
    if (!why.empty()) {
        common::complain("%s", why.c_str());
    }
    return header.chipFd.valid() ? 0 : -1;
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
    if (gpio::retryWhileBusy(requestLine, gpio::kBusyPatienceNs, gpio::monotonicNs, pause) != 0) {
        exitWith(gpio::lineRequestError(pin, line, header.chip, errno));
    }
    lineFd.reset(request.fd);
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
