// SPDX-License-Identifier: MIT
// Choice of the header's GPIO chip and the character-device backend's error texts.
#include "chip.h"

#include <cerrno>
#include <cstring>

namespace gpio {

namespace {

// Pi 1 to 3 and Zero; Pi 4, 400 and CM4; Pi 5, 500 and CM5.
const char *const kHeaderLabels[] = {"pinctrl-bcm2835", "pinctrl-bcm2711", "pinctrl-rp1"};

}  // namespace

bool isChipPath(const char *wanted) { return wanted != nullptr && std::strchr(wanted, '/') != nullptr; }

const ChipInfo *findHeaderChip(const std::vector<ChipInfo> &chips, const char *wanted) {
    if (wanted != nullptr) {
        for (const ChipInfo &chip : chips) {
            if (chip.name == wanted || chip.label == wanted) {
                return &chip;
            }
        }
        return nullptr;
    }
    for (const char *label : kHeaderLabels) {
        for (const ChipInfo &chip : chips) {
            if (chip.label == label) {
                return &chip;
            }
        }
    }
    return nullptr;
}

int retryWhileBusy(const std::function<int()> &request, std::int64_t patienceNs,
                   const std::function<std::int64_t()> &now, const std::function<void()> &pause) {
    const std::int64_t giveUpNs = now() + patienceNs;
    int result = request();
    while (result != 0 && errno == EBUSY && now() < giveUpNs) {
        pause();
        result = request();
    }
    return result;
}

std::string describeLine(int pin, int line, const ChipInfo &chip) {
    return "pin " + std::to_string(pin) + " (BCM " + std::to_string(line) + ", line " + std::to_string(line) + " of " +
           chip.path + " '" + chip.label + "')";
}

std::string chipOpenError(const std::string &path, const std::string &label, int error) {
    const bool refused = error == EACCES || error == EPERM;
    return "cannot open " + path + (label.empty() ? "" : " '" + label + "'") + ": " + std::strerror(error) +
           (refused ? " (is your user in the 'gpio' group?)" : "");
}

std::string lineRequestError(int pin, int line, const ChipInfo &chip, int error) {
    return "cannot make " + describeLine(pin, line, chip) + " an output: " + std::strerror(error);
}

std::string lineWriteError(int pin, int line, const ChipInfo &chip, int value, const char *reason) {
    return "cannot drive " + describeLine(pin, line, chip) + (value != 0 ? " high: " : " low: ") + reason;
}

std::string missingLineError(int pin, int line, const ChipInfo &chip) {
    return describeLine(pin, line, chip) + " does not exist: the chip has " + std::to_string(chip.lines) + " lines";
}

}  // namespace gpio
