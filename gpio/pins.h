// SPDX-License-Identifier: MIT
// wiringPi's numbering of the Raspberry Pi's 40-pin header, shared by every backend.
#ifndef TERUNA_GPIO_PINS_H
#define TERUNA_GPIO_PINS_H

#include <string>

namespace gpio {

// The BCM GPIO line behind a wiringPi pin number, or -1 when the header has no such pin.
int bcmLineOf(int wiringPiPin);

// What to tell a user of a `wiringPiPin` that does not exist on the header.
std::string unknownPinError(int wiringPiPin);

// Says so, and ends the process with status 1.
[[noreturn]] void exitUnknownPin(int wiringPiPin);

}  // namespace gpio

#endif
