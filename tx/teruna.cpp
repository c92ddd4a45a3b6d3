// SPDX-License-Identifier: MIT
// teruna: sends one button press of a Teruna remote control on a GPIO pin.
#include <unistd.h>
#include <wiringPi.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "TerunaTx.h"
#include "backend.h"
#include "signals.h"

namespace {

// atoi's reading of a number (leading blanks, a sign, digits; the rest ignored; no
// number gives 0), with values beyond int clamped instead of undefined: what the
// 32-bit target's C library gives, on every machine.
int toInt(const char *text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

void usage() {
    puts("Arguments:");
    puts("  -p <PIN>        - GPIO pin");
    puts("  -g <REMOTE>     - Teruna remote id");
    puts("  -n <BUTTON>     - Teruna button id");
}

}  // namespace

int main(int argc, char *argv[]) {
    int pin = 0;
    int remoteId = 6400;
    int buttonId = 0;

    int option = 0;
    while ((option = getopt(argc, argv, "p:g:n:h")) != -1) {
        switch (option) {
        case 'p':
            pin = toInt(optarg);
            break;
        case 'g':
            remoteId = toInt(optarg);
            break;
        case 'n':
            buttonId = toInt(optarg);
            break;
        case 'h':
            usage();
            return 1;
        default:
            // getopt has already said what was wrong; the press goes out regardless.
            break;
        }
    }

    // Until the press begins, signals act at once: setting up, waiting for a line another press
    // holds, or writing the summary line to a full pipe, the pin is low or not yet an output.
    if (wiringPiSetup() == -1) {
        perror("wiringPiSetup failed");
        return 1;
    }
    pinMode(pin, OUTPUT);
    gpio::lowerOnFault(pin);
    tx::TerunaTx transmitter(pin);

    // A closed or full output must not cost the press: what the summary line raises is held
    // until the press is over, and then ends the run as it would have.
    const sigset_t output = common::outputSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &output, &previous);
    printf("remote %d button %d\n", remoteId, buttonId);
    // A script reading the line through a pipe or file sees it before the press, not after.
    fflush(stdout);

    transmitter.sendButton(static_cast<unsigned short>(remoteId), static_cast<unsigned char>(buttonId));
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return 0;
}
