// Listening on a GPIO input, on builds that drive real pins.
#ifndef TERUNA_SNIFF_LIVE_H
#define TERUNA_SNIFF_LIVE_H

#include "TerunaRx.h"

// Feeds `rx` the edges of wiringPi pin `pin` until SIGINT or SIGTERM, or until `seconds`
// have passed when that is positive. Returns 0 when it listened; otherwise it has said
// why on standard error and returns 2.
int listen(int pin, double seconds, TerunaRx &rx);

#endif
