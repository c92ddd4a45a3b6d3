// SPDX-License-Identifier: MIT
// What the GPIO backends do differently beyond the wiringPi API, each in its own file.
#ifndef TERUNA_GPIO_BACKEND_H
#define TERUNA_GPIO_BACKEND_H

namespace gpio {

// Sees that `pin`, an output, is lowered when a fatal signal ends the process.
void lowerOnFault(int pin);

}  // namespace gpio

#endif
