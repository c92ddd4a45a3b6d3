// SPDX-License-Identifier: MIT
// A press as the receiver reports it.
#ifndef TERUNA_RX_PRESS_H
#define TERUNA_RX_PRESS_H

namespace rx {

struct Press {
    unsigned int remoteId;
    unsigned int buttonId;
    unsigned int frames;  // frames of this press that were decoded
    double timeUs;        // when its first decoded frame began, on the input's clock
    double endUs;         // when its last decoded frame ended, on the input's clock
    // Mean measured widths in microseconds: the start's high, a one, a zero's half; 0 where
    // the code word has no such symbol.
    double startUs;
    double oneUs;
    double zeroUs;
    // What was learnt of the press: the remote's clock against the nominal one, and how
    // much longer the receiver made high runs (and low runs as much shorter).
    double scale;
    double skewUs;
};

}  // namespace rx

#endif
