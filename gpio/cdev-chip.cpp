// SPDX-License-Identifier: MIT
// Opening the GPIO chip of the 40-pin header through the kernel's character device, for the
// backend and the receiver alike.
#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cdev.h"
#include "chip.h"
#include "fd.h"

namespace {

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

// The chips this process may open; `denied` is the first one it may not.
std::vector<gpio::ChipInfo> listChips(std::string &denied) {
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
        const common::Fd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd.valid() && (errno == EACCES || errno == EPERM) && denied.empty()) {
            denied = path;
        }
        gpio::ChipInfo info;
        if (fd.valid() && readChipInfo(fd.get(), path, info)) {
            chips.push_back(info);
        }
    }
    closedir(dev);
    return chips;
}

}  // namespace

common::Fd gpio::openHeaderChip(ChipInfo &chip, std::string &why) {
    why.clear();
    const char *wanted = std::getenv("TERUNA_GPIOCHIP");
    std::string path;
    std::string label;
    if (gpio::isChipPath(wanted)) {
        path = wanted;
    } else {
        std::string denied;
        const std::vector<gpio::ChipInfo> chips = listChips(denied);
        const gpio::ChipInfo *found = gpio::findHeaderChip(chips, wanted);
        if (found == nullptr) {
            // A chip that could not be looked at may well be the one: say why.
            if (!denied.empty()) {
                why = gpio::chipOpenError(denied, "", EACCES);
                errno = EACCES;
                return {};
            }
            errno = ENODEV;
            return {};
        }
        path = found->path;
        label = found->label;
    }
    common::Fd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd.valid() && (errno == EACCES || errno == EPERM)) {
        const int error = errno;
        why = gpio::chipOpenError(path, label, error);
        errno = error;
    }
    if (fd.valid() && !readChipInfo(fd.get(), path, chip)) {
        fd.reset();
    }
    return fd;
}
