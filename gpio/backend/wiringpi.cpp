// SPDX-License-Identifier: MIT
// The installed wiringPi.
#include "backend.h"

#include <wiringPi.h>

#include <csignal>

#include "signals.h"

namespace {

// The GPIO layers of this project lower their lines themselves when a fault ends the process;
// wiringPi does not. Its digitalWrite on a header pin is one store to the GPIO registers it
// has mapped (or one write or ioctl on a descriptor it holds), with no lock and no memory to
// allocate, so it is called from the handler, although no standard promises it is safe there.
volatile sig_atomic_t pressPin = -1;

void lowerPressPin() { digitalWrite(pressPin, LOW); }

}  // namespace

void gpio::lowerOnFault(int pin) {
    pressPin = pin;
    common::onFatalSignal(lowerPressPin);
}
