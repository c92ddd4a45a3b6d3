// SPDX-License-Identifier: MIT
// Code word, framing and repetition of a button press.
#include "TerunaTx.h"

#include <csignal>

#include "signals.h"

namespace tx {

TerunaTx::TerunaTx(int gpioPin) : high(false), pin(gpioPin) {}

void TerunaTx::sendButton(unsigned short remoteId, unsigned char buttonId) {
    sendCommand(linecode::codeWord(remoteId, buttonId), linecode::kCodeBits);
}

void TerunaTx::sendCommand(unsigned int command, unsigned char bitCount) {
    // The mask below shifts by bitCount - 1, which only 1 to 32 keep defined.
    if (bitCount < 1 || bitCount > 32) {
        return;
    }
    // Asked while signals still act at once: a refusal is said on standard error, which may
    // block, and the pin has not been driven yet.
    piHiPri(kPriority);
    // From the first level change to the last, nothing ends or stops the press: signals are
    // held, and take their default action once the pin is low and the priority given back.
    const sigset_t held = common::holdableSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &held, &previous);
    for (unsigned char frame = 0; frame < linecode::kFrames; ++frame) {
        unsigned int mask = 1u << (bitCount - 1);
        sendPreamble();
        for (unsigned char bit = bitCount; bit > 0; --bit) {
            if ((command & mask) != 0) {
                sendOne();
            } else {
                sendZero();
            }
            mask >>= 1;
        }
    }
    tx(false);
    piHiPri(0);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace tx
