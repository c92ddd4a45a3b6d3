// Real pins through the kernel's GPIO character device (uAPI v2, Linux 5.10 and later).
#include <dirent.h>
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
#include <vector>

#include "cdev.h"
#include "chip.h"
#include "clock.h"
#include "pins.h"
#include "wiringPi.h"

namespace {

constexpr int kPins = 32;

struct Header {
    Header() { lineFds.fill(-1); }
    int chipFd = -1;
    gpio::ChipInfo chip;
    std::array<int, kPins> lineFds{};  // indexed by wiringPi pin; -1 while not requested
};

Header header;

[[noreturn]] void exitWith(const std::string &message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::exit(1);
}

bool readChipInfo(int fd, const std::string &path, gpio::ChipInfo &info) {
    gpiochip_info raw{};
    if (ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &raw) != 0) {
        return false;
    }
    info.path = path;
    info.name = std::string(raw.name, strnlen(raw.name, sizeof raw.name));
    info.label = std::string(raw.label, strnlen(raw.label, sizeof raw.label));
    info.lines = raw.lines;
    return true;
}

std::vector<gpio::ChipInfo> listChips() {
    std::vector<gpio::ChipInfo> chips;
    DIR *dev = opendir("/dev");
    if (dev == nullptr) {
        return chips;
    }
    while (const dirent *entry = readdir(dev)) {
        if (std::strncmp(entry->d_name, "gpiochip", 8) != 0) {
            continue;
        }
        const std::string path = std::string("/dev/") + entry->d_name;
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        gpio::ChipInfo info;
        if (fd >= 0 && readChipInfo(fd, path, info)) {
            chips.push_back(info);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    closedir(dev);
    return chips;
}

}  // namespace

int gpio::openHeaderChip(ChipInfo &chip) {
    const char *wanted = std::getenv("TERUNA_GPIOCHIP");
    std::string path;
    if (gpio::isChipPath(wanted)) {
        path = wanted;
    } else {
        const std::vector<gpio::ChipInfo> chips = listChips();
        const gpio::ChipInfo *found = gpio::findHeaderChip(chips, wanted);
        if (found == nullptr) {
            errno = ENODEV;
            return -1;
        }
        path = found->path;
    }
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (!readChipInfo(fd, path, chip)) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int gpio::requestEdges(int chipFd, int line, int &level) {
    gpio_v2_line_request request{};
    request.offsets[0] = static_cast<__u32>(line);
    request.num_lines = 1;
    std::strncpy(request.consumer, program_invocation_short_name, sizeof request.consumer - 1);
    request.config.flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    if (ioctl(chipFd, GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        return -1;
    }
    gpio_v2_line_values values{};
    values.mask = 1;
    if (ioctl(request.fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0) {
        const int error = errno;
        close(request.fd);
        errno = error;
        return -1;
    }
    level = static_cast<int>(values.bits & 1);
    return request.fd;
}

int gpio::readEdges(int lineFd, Edge *edges, int capacity) {
    gpio_v2_line_event events[16];
    const auto wanted = static_cast<std::size_t>(capacity < 16 ? capacity : 16);
    const ssize_t n = read(lineFd, events, wanted * sizeof events[0]);
    if (n < 0) {
        return -1;
    }
    const int count = static_cast<int>(static_cast<std::size_t>(n) / sizeof events[0]);
    for (int i = 0; i < count; ++i) {
        edges[i] = {static_cast<std::int64_t>(events[i].timestamp_ns),
                    events[i].id == GPIO_V2_LINE_EVENT_RISING_EDGE ? 1 : 0};
    }
    return count;
}

extern "C" int wiringPiSetup(void) {
    if (header.chipFd >= 0) {
        return 0;
    }
    header.chipFd = gpio::openHeaderChip(header.chip);
    return header.chipFd < 0 ? -1 : 0;
}

extern "C" void pinMode(int pin, int mode) {
    const int line = gpio::bcmLineOf(pin);
    if (line < 0) {
        gpio::exitUnknownPin(pin);
    }
    if (static_cast<unsigned int>(line) >= header.chip.lines) {
        exitWith(gpio::missingLineError(pin, line, header.chip));
    }
    int &lineFd = header.lineFds[static_cast<std::size_t>(pin)];
    if (lineFd >= 0) {
        close(lineFd);
        lineFd = -1;
    }

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
    const auto requestLine = [&] { return ioctl(header.chipFd, GPIO_V2_GET_LINE_IOCTL, &request); };
    const auto pause = [] {
        const timespec wait{0, gpio::kBusyPauseNs};
        nanosleep(&wait, nullptr);
    };
    if (gpio::retryWhileBusy(requestLine, gpio::kBusyPatienceNs, gpio::monotonicNs, pause) != 0) {
        exitWith(gpio::lineRequestError(pin, line, header.chip, errno));
    }
    lineFd = request.fd;
}

extern "C" void digitalWrite(int pin, int value) {
    const int line = gpio::bcmLineOf(pin);
    if (line < 0) {
        gpio::exitUnknownPin(pin);
    }
    gpio_v2_line_values values{};
    values.bits = value != LOW ? 1 : 0;
    values.mask = 1;
    const int lineFd = header.lineFds[static_cast<std::size_t>(pin)];
    if (lineFd < 0) {
        exitWith(gpio::lineWriteError(pin, line, header.chip, value, "pinMode has not made it an output"));
    }
    if (ioctl(lineFd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0) {
        exitWith(gpio::lineWriteError(pin, line, header.chip, value, std::strerror(errno)));
    }
}

extern "C" void delayMicroseconds(unsigned int howLong) { gpio::delayUs(howLong); }

extern "C" int piHiPri(const int pri) { return gpio::requestPriority(pri); }
