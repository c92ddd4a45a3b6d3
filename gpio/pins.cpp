// SPDX-License-Identifier: MIT
// The 40-pin header's wiringPi-to-BCM table and the error for a pin that is not on it.
#include "pins.h"

#include "fail.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace gpio {

namespace {

constexpr int kNoLine = -1;

// Index: wiringPi pin; value: BCM GPIO line. wiringPi 17 to 20 belong to the
// Pi 1's extra P5 header, which no 40-pin board has.
// clang-format off
constexpr int kBcmOfWiringPi[] = {
    17, 18, 27, 22, 23, 24, 25, 4,               // wiringPi 0 to 7
    2,  3,  8,  7,  10, 9,  11, 14,              // 8 to 15
    15, kNoLine, kNoLine, kNoLine, kNoLine,      // 16 to 20
    5,  6,  13, 19, 26, 12, 16, 20, 21, 0, 1,    // 21 to 31
};
// clang-format on

constexpr int kPinCount = sizeof kBcmOfWiringPi / sizeof kBcmOfWiringPi[0];

}  // namespace

int bcmLineOf(int wiringPiPin) {
    if (wiringPiPin < 0 || wiringPiPin >= kPinCount) {
        return kNoLine;
    }
    return kBcmOfWiringPi[wiringPiPin];
}

constexpr const char *kUnknownPin = "pin %d does not exist on this board (wiringPi pins are 0 to 16 and 21 to 31)";

std::string unknownPinError(int wiringPiPin) {
    char text[128];
    std::snprintf(text, sizeof text, kUnknownPin, wiringPiPin);
    return text;
}

void exitUnknownPin(int wiringPiPin) { common::fail(1, kUnknownPin, wiringPiPin); }

}  // namespace gpio
