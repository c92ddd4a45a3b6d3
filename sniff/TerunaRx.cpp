// Decoding of the Teruna line code, from the transmitter's own symbol widths.
//
// After a start symbol (520 us high) the pin is low, and each bit is one run of the
// level it holds: 110 us for a zero, followed by a 110 us pulse of the other level, or
// 300 us for a one, after which the level has changed. When a frame ends low, the next
// start symbol drives the pin high at once, so its high run is joined (across a pulse
// too short to see) to the frame's last high run: a zero's pulse (110 + 520 us) or a
// one's high hold (300 + 520 us).
#include "TerunaRx.h"

#include "TerunaTx.h"

#include <cmath>

namespace {

constexpr double kTolerance = 0.25;  // of each width, as cheap receivers deliver them
constexpr double kGlitchUs = 40;     // shorter pulses are not the transmitter's
constexpr double kSilenceUs = 10000;
// Receivers fill a silence with noise: a press also ends when no frame has been read for
// this long, which even dozens of frames lost to interference within a press do not reach.
constexpr double kNoFrameUs = 250000;
constexpr unsigned int kFramesForAPress = 2;

constexpr double kStartUs = TerunaTx::kStartUs;
constexpr double kOneUs = TerunaTx::kOneUs;
constexpr double kZeroHalfUs = TerunaTx::kZeroHalfUs;

bool near(double widthUs, double nominalUs) {
    return widthUs >= nominalUs * (1 - kTolerance) && widthUs <= nominalUs * (1 + kTolerance);
}

}  // namespace

TerunaRx::TerunaRx(std::function<void(const Press &)> onPress) : onPress_(std::move(onPress)) {}

void TerunaRx::level(double timeUs, int level) {
    const int next = level != 0 ? 1 : 0;
    if (!haveLevel_) {
        haveLevel_ = true;
        level_ = next;
        runStartUs_ = timeUs;
        return;
    }
    if (next == level_) {
        return;
    }
    const double widthUs = timeUs > runStartUs_ ? timeUs - runStartUs_ : 0;
    level_ = next;
    if (widthUs < kGlitchUs) {
        // The glitch and the run after it belong to the run before it.
        if (haveHeld_) {
            runStartUs_ = held_.endUs - held_.widthUs;
            haveHeld_ = false;
        } else {
            runStartUs_ = timeUs;
        }
        return;
    }
    if (haveHeld_) {
        decode(held_);
    }
    held_ = {1 - next, widthUs, timeUs};
    haveHeld_ = true;
    runStartUs_ = timeUs;
}

void TerunaRx::silentUntil(double timeUs) {
    if (havePress_ && timeUs - lastFrameEndUs_ > kNoFrameUs) {
        endPress();
    }
    if (haveLevel_ && timeUs - runStartUs_ > kSilenceUs) {
        if (haveHeld_) {
            decode(held_);
            haveHeld_ = false;
        }
        abandonFrame();
        endPress();
    }
}

void TerunaRx::end(double timeUs) {
    if (haveHeld_) {
        decode(held_);
        haveHeld_ = false;
    }
    if (haveLevel_ && timeUs - runStartUs_ >= kGlitchUs) {
        decode({level_, timeUs - runStartUs_, timeUs});
    }
    haveLevel_ = false;
    abandonFrame();
    endPress();
}

void TerunaRx::decode(const Run &run) {
    const bool followsFrame = lastEndedFrame_;
    lastEndedFrame_ = false;
    if (havePress_ && run.endUs - run.widthUs - lastFrameEndUs_ > kNoFrameUs) {
        endPress();
    }
    if (run.widthUs > kSilenceUs) {
        abandonFrame();
        endPress();
        return;
    }
    if (inFrame_) {
        if (continueFrame(run)) {
            return;
        }
        abandonFrame();
    }
    // A start. Right after a decoded frame it stands alone (the frame took in a start joined
    // to its last run); after a frame that could not be read it may come joined to that
    // frame's last run. Where the widths allow more than one reading, the nearest is taken:
    // the frame begins at the run's end whichever it is.
    if (run.level != 1) {
        return;
    }
    double bestUs = -1;
    for (const double partUs : {0.0, kZeroHalfUs, kOneUs}) {
        if (followsFrame && partUs > 0) {
            break;
        }
        if (near(run.widthUs, kStartUs + partUs) &&
            (bestUs < 0 || std::fabs(run.widthUs - kStartUs - partUs) < std::fabs(run.widthUs - kStartUs - bestUs))) {
            bestUs = partUs;
        }
    }
    if (bestUs >= 0) {
        beginFrame(run.widthUs - bestUs, followsFrame);
    }
}

// Reads `run` as the next part of the frame; false when it cannot be one.
bool TerunaRx::continueFrame(const Run &run) {
    const bool lastBit = bits_ == TerunaTx::kCodeBits - 1;
    if (pulseDue_) {
        pulseDue_ = false;
        if (near(run.widthUs, kZeroHalfUs)) {
            frameSumZeroUs_ += holdUs_ + run.widthUs;
            frameZeroHalves_ += 2;
            completeSymbol(0, run.endUs);
            return true;
        }
        if (lastBit && run.level == 1 && near(run.widthUs, kZeroHalfUs + kStartUs)) {
            frameSumZeroUs_ += holdUs_;
            ++frameZeroHalves_;
            completeSymbol(0, run.endUs);
            beginFrame(run.widthUs - kZeroHalfUs, true);
            return true;
        }
        return false;
    }
    if (near(run.widthUs, kZeroHalfUs)) {
        holdUs_ = run.widthUs;
        pulseDue_ = true;
        return true;
    }
    if (near(run.widthUs, kOneUs)) {
        frameSumOneUs_ += run.widthUs;
        ++frameOnes_;
        completeSymbol(1, run.endUs);
        return true;
    }
    if (lastBit && run.level == 1 && near(run.widthUs, kOneUs + kStartUs)) {
        completeSymbol(1, run.endUs);
        beginFrame(run.widthUs - kOneUs, true);
        return true;
    }
    return false;
}

// `startUs` is the start's measured width; for a start joined to the run before it, that
// run's nominal width is taken off.
void TerunaRx::beginFrame(double startUs, bool followsFrame) {
    inFrame_ = true;
    pulseDue_ = false;
    code_ = 0;
    bits_ = 0;
    followsFrame_ = followsFrame;
    frameStartUs_ = startUs;
    frameSumOneUs_ = frameSumZeroUs_ = 0;
    frameOnes_ = frameZeroHalves_ = 0;
}

void TerunaRx::completeSymbol(unsigned int bit, double endUs) {
    code_ = code_ << 1 | bit;
    if (++bits_ == TerunaTx::kCodeBits) {
        completeFrame(endUs);
    }
}

void TerunaRx::completeFrame(double endUs) {
    inFrame_ = false;
    lastEndedFrame_ = true;
    lastFrameEndUs_ = endUs;
    if (havePress_ && confirmed_ && code_ != pressCode_) {
        // One frame read wrong must not end a press: another code word does so once it
        // has come twice in a row.
        otherInARow_ = followsFrame_ && otherCode_ == code_ ? otherInARow_ + 1 : 1;
        otherCode_ = code_;
        if (otherInARow_ < kFramesForAPress) {
            return;
        }
        const unsigned int seen = otherInARow_;
        endPress();
        startPress(otherCode_);
        frames_ = inARow_ = seen - 1;
    } else if (havePress_ && code_ != pressCode_) {
        endPress();
    }
    otherInARow_ = 0;
    if (!havePress_) {
        startPress(code_);
    }
    ++frames_;
    inARow_ = followsFrame_ ? inARow_ + 1 : 1;
    confirmed_ = confirmed_ || inARow_ >= kFramesForAPress;
    sumStartUs_ += frameStartUs_;
    ++starts_;
    sumOneUs_ += frameSumOneUs_;
    ones_ += frameOnes_;
    sumZeroUs_ += frameSumZeroUs_;
    zeroHalves_ += frameZeroHalves_;
}

void TerunaRx::startPress(unsigned int code) {
    havePress_ = true;
    pressCode_ = code;
    frames_ = inARow_ = 0;
    confirmed_ = false;
    sumStartUs_ = sumOneUs_ = sumZeroUs_ = 0;
    starts_ = ones_ = zeroHalves_ = 0;
}

void TerunaRx::abandonFrame() {
    inFrame_ = false;
    pulseDue_ = false;
}

void TerunaRx::endPress() {
    if (havePress_ && confirmed_) {
        const auto mean = [](double sum, int count) { return count > 0 ? sum / count : 0.0; };
        onPress_({pressCode_ >> 7 & 0xFFFF, pressCode_ & 0x7F, frames_, mean(sumStartUs_, starts_),
                  mean(sumOneUs_, ones_), mean(sumZeroUs_, zeroHalves_)});
    }
    havePress_ = false;
    confirmed_ = false;
    inARow_ = 0;
    otherInARow_ = 0;
}
