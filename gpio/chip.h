// SPDX-License-Identifier: MIT
// Which GPIO chip carries the 40-pin header, and how the character-device backend words
// its failures; kept apart from the ioctls so that both can be tested anywhere.
#ifndef TERUNA_GPIO_CHIP_H
#define TERUNA_GPIO_CHIP_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace gpio {

struct ChipInfo {
    std::string path;   // "/dev/gpiochip0"
    std::string name;   // "gpiochip0"
    std::string label;  // "pinctrl-bcm2711"
    unsigned int lines = 0;
};

// The chip named `wanted` (its name or label) when that is given, otherwise the first chip
// whose label is a Raspberry Pi pin controller; nullptr when there is none.
const ChipInfo *findHeaderChip(const std::vector<ChipInfo> &chips, const char *wanted);

// True when `wanted` names a device path, which is opened as it is, without a search.
bool isChipPath(const char *wanted);

// How long a line that another process holds is waited for: presses fired together by a
// script then go out one after the other.
constexpr std::int64_t kBusyPatienceNs = 5'000'000'000;
constexpr std::int64_t kBusyPauseNs = 5'000'000;

// Calls `request` until it succeeds, fails for another reason than EBUSY, or `patienceNs`
// have passed by `now`, calling `pause` between tries. Returns its last result, with its errno.
int retryWhileBusy(const std::function<int()> &request, std::int64_t patienceNs,
                   const std::function<std::int64_t()> &now, const std::function<void()> &pause);

// "pin 0 (BCM 17, line 17 of /dev/gpiochip0 'pinctrl-bcm2835')"
std::string describeLine(int pin, int line, const ChipInfo &chip);

// What failed, for the error line: the chip at `path` (with `label`, when known) could not
// be opened; for a refusal, what usually grants it.
std::string chipOpenError(const std::string &path, const std::string &label, int error);

// What failed, for the error line: the kernel refused the line as an output.
std::string lineRequestError(int pin, int line, const ChipInfo &chip, int error);

// What failed, for the error line: the line's level could not be changed, for `reason`.
std::string lineWriteError(int pin, int line, const ChipInfo &chip, int value, const char *reason);

// What failed, for the error line: the chip has fewer lines than the pin needs.
std::string missingLineError(int pin, int line, const ChipInfo &chip);

}  // namespace gpio

#endif
