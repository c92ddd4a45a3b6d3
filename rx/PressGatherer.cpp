// SPDX-License-Identifier: MIT
#include "PressGatherer.h"

#include "TerunaCode.h"

namespace rx {

namespace {

// A press is real once this many frames of it were read back to back: noise and other
// remotes hardly make one frame of the line code, never two alike in a row.
constexpr unsigned int kFramesForAPress = 2;
// Within a press, another code word ends it once it has come this many times in a row: at the
// far edges of what the receiver learns, a glitch may make the same misreading twice.
constexpr unsigned int kFramesToEndAPress = 3;

}  // namespace

void PressGatherer::add(const Frame &frame) {
    lastFrameEndUs_ = frame.endUs;
    if (havePress_ && confirmed_ && frame.code != code_) {
        // A frame read wrong must not end a press.
        if (frame.followsFrame && otherCode_ == frame.code) {
            ++otherInARow_;
        } else {
            otherInARow_ = 1;
            otherBeginUs_ = frame.beginUs;
        }
        otherCode_ = frame.code;
        if (otherInARow_ < kFramesToEndAPress) {
            return;
        }
        const unsigned int seen = otherInARow_;
        end();
        start(otherCode_, otherBeginUs_);
        frames_ = inARow_ = seen - 1;
    } else if (havePress_ && frame.code != code_) {
        end();
    }
    otherInARow_ = 0;
    if (!havePress_) {
        start(frame.code, frame.beginUs);
    }
    ++frames_;
    endUs_ = frame.endUs;
    inARow_ = frame.followsFrame ? inARow_ + 1 : 1;
    confirmed_ = confirmed_ || inARow_ >= kFramesForAPress;
    ++summed_;
    sumStartUs_ += frame.startUs;
    sumOneUs_ += frame.sumOneUs;
    ones_ += frame.ones;
    sumZeroUs_ += frame.sumZeroUs;
    zeroHalves_ += frame.zeroHalves;
    sumScale_ += frame.timeBase.scale;
    sumSkewUs_ += frame.timeBase.skewUs;
}

void PressGatherer::noFrameUntil(double timeUs) {
    if (havePress_ && timeUs - lastFrameEndUs_ > kNoFrameUs) {
        end();
    }
}

void PressGatherer::start(unsigned int code, double beginUs) {
    havePress_ = true;
    code_ = code;
    beginUs_ = beginUs;
    frames_ = inARow_ = 0;
    confirmed_ = false;
    sumStartUs_ = sumOneUs_ = sumZeroUs_ = 0;
    ones_ = zeroHalves_ = 0;
    sumScale_ = sumSkewUs_ = 0;
    summed_ = 0;
}

void PressGatherer::end() {
    if (havePress_ && confirmed_) {
        const auto mean = [](double sum, double count) { return count > 0 ? sum / count : 0.0; };
        const double frames = summed_;
        onPress_({linecode::remoteOf(code_), linecode::buttonOf(code_), frames_, beginUs_, endUs_,
                  mean(sumStartUs_, frames), mean(sumOneUs_, ones_), mean(sumZeroUs_, zeroHalves_),
                  mean(sumScale_, frames), mean(sumSkewUs_, frames)});
    }
    havePress_ = false;
    confirmed_ = false;
    inARow_ = 0;
    otherInARow_ = 0;
}

}  // namespace rx
