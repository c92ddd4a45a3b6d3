// SPDX-License-Identifier: MIT
// The Teruna line code: what the transmitter sends and the receiver reads back. Kept free
// of the GPIO API so that a receiver can be built without it.
#ifndef TERUNA_TERUNACODE_H
#define TERUNA_TERUNACODE_H

namespace linecode {

// Symbol widths on the pin, in microseconds.
constexpr unsigned int kStartUs = 520;
constexpr unsigned int kOneUs = 300;
constexpr unsigned int kZeroHalfUs = 110;

constexpr unsigned char kCodeBits = 23;
constexpr unsigned char kFrames = 150;

// The code word: the remote id above the button id's low 7 bits.
constexpr unsigned int kButtonMask = 0x7F;
constexpr unsigned int kRemoteShift = 7;
constexpr unsigned int kRemoteMask = 0xFFFF;

constexpr unsigned int codeWord(unsigned short remoteId, unsigned char buttonId) {
    return (buttonId & kButtonMask) | (static_cast<unsigned int>(remoteId) << kRemoteShift);
}
constexpr unsigned int remoteOf(unsigned int code) { return code >> kRemoteShift & kRemoteMask; }
constexpr unsigned int buttonOf(unsigned int code) { return code & kButtonMask; }

}  // namespace linecode

#endif
