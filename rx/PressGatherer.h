// SPDX-License-Identifier: MIT
// Gathers the frames of one press, which repeat one code word, and reports the press once it
// has ended: frames in, presses out.
#ifndef TERUNA_RX_PRESSGATHERER_H
#define TERUNA_RX_PRESSGATHERER_H

#include <functional>

#include "FrameReader.h"
#include "Press.h"

namespace rx {

// Receivers fill a silence with noise: a press also ends when no frame has been read for
// this long, which even dozens of frames lost to interference within a press do not reach.
// A press is reported no sooner than this after its last frame.
constexpr double kNoFrameUs = 250000;

class PressGatherer {
public:
    explicit PressGatherer(std::function<void(const Press &)> onPress) : onPress_(std::move(onPress)) {}

    void add(const Frame &frame);

    // No frame has come until `timeUs`: a press whose last frame ended long before is over.
    void noFrameUntil(double timeUs);

    // Reports the press being gathered, if it is one.
    void end();

private:
    void start(unsigned int code, double beginUs);

    std::function<void(const Press &)> onPress_;
    bool havePress_ = false;
    unsigned int code_ = 0;
    double beginUs_ = 0;
    double lastFrameEndUs_ = 0;  // of any code word
    double endUs_ = 0;           // of the press's own last frame: another code word's frames are not its
    unsigned int frames_ = 0;
    unsigned int inARow_ = 0;     // frames decoded back to back
    bool confirmed_ = false;      // two of them were: the press is real
    unsigned int otherCode_ = 0;  // a different code word, not yet confirmed
    unsigned int otherInARow_ = 0;
    double otherBeginUs_ = 0;
    unsigned int summed_ = 0;  // frames whose widths and time base are summed
    double sumStartUs_ = 0, sumOneUs_ = 0, sumZeroUs_ = 0;
    int ones_ = 0, zeroHalves_ = 0;
    double sumScale_ = 0, sumSkewUs_ = 0;
};

}  // namespace rx

#endif
