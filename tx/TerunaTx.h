// SPDX-License-Identifier: MIT
// The transmitter: one button press of a Teruna remote as timed levels on a GPIO pin.
#ifndef TERUNA_TERUNATX_H
#define TERUNA_TERUNATX_H

#include <wiringPi.h>

#include "TerunaCode.h"

namespace tx {

class TerunaTx {
public:
    explicit TerunaTx(int pin);

    // Sends remote id and the button id's low 7 bits as one whole transmission.
    void sendButton(unsigned short remoteId, unsigned char buttonId);

    // Sends the low `bitCount` bits of `command` (1 to 32), most significant first, in
    // every one of the frames, then leaves the pin low. Every signal that can be held waits
    // from the first level change to the end.
    void sendCommand(unsigned int command, unsigned char bitCount);

    static constexpr int kPriority = 90;

private:
    void sendPreamble() {
        tx(true);
        delayMicroseconds(linecode::kStartUs);
        tx(false);
        high = false;
    }

    void sendOne() {
        delayMicroseconds(linecode::kOneUs);
        high = !high;
        tx(high);
    }

    void sendZero() {
        delayMicroseconds(linecode::kZeroHalfUs);
        tx(!high);
        delayMicroseconds(linecode::kZeroHalfUs);
        tx(high);
    }

    void tx(bool value) const { digitalWrite(pin, value ? HIGH : LOW); }

    bool high;
    int pin;
};

}  // namespace tx

#endif
