// SPDX-License-Identifier: MIT
// Decoding of the Teruna line code, from the transmitter's own symbol widths.
//
// After a start symbol (520 us high) the pin is low, and each bit is one run of the
// level it holds: 110 us for a zero, followed by a 110 us pulse of the other level, or
// 300 us for a one, after which the level has changed. When a frame ends low, the next
// start symbol drives the pin high at once, so its high run is joined (across a pulse
// too short to see) to the frame's last high run: a zero's pulse (110 + 520 us) or a
// one's high hold (300 + 520 us).
//
// A receiver module does not deliver these widths. The remote's RC clock scales them all,
// and the data slicer, whose threshold follows the average level, makes every high run
// longer and every low run as much shorter (or the reverse). Both are learnt from the
// latest runs: the scale and skew under which the most runs of each level fall near the
// nominal widths. Runs are then read with that scale and skew taken off.
#include "TerunaRx.h"

#include <algorithm>
#include <cmath>

#include "TerunaCode.h"

namespace {

constexpr double kTolerance = 0.25;  // of each nominal width, once scale and skew are taken off
constexpr double kGlitchUs = 40;     // shorter pulses are not the transmitter's, where its runs are longer
constexpr double kSilenceUs = 10000;
// Receivers fill a silence with noise: a press also ends when no frame has been read for
// this long, which even dozens of frames lost to interference within a press do not reach.
constexpr double kNoFrameUs = 250000;
constexpr unsigned int kFramesForAPress = 2;

// The time base is learnt from the window's runs, of which the newest are not decoded yet;
// it is learnt again every so many runs.
constexpr std::size_t kLookAheadRuns = 48;
constexpr double kLookAheadUs = 20000;  // about three frames; noise does not hold a press back for long
constexpr std::size_t kLearnEveryRuns = 32;
constexpr std::size_t kFewestRunsToLearn = 24;
// What is learnt: a remote's clock within a fifth of nominal, a receiver's skew within 80 us.
constexpr double kMinScale = 0.8, kMaxScale = 1.2;
constexpr double kMaxSkewUs = 80;

constexpr double kStartUs = TerunaCode::kStartUs;
constexpr double kOneUs = TerunaCode::kOneUs;
constexpr double kZeroHalfUs = TerunaCode::kZeroHalfUs;

bool near(double widthUs, double nominalUs) {
    return widthUs >= nominalUs * (1 - kTolerance) && widthUs <= nominalUs * (1 + kTolerance);
}

// High runs come out longer by the skew, low runs shorter.
double skewOf(int level, double skewUs) { return level != 0 ? skewUs : -skewUs; }

}  // namespace

namespace rx {

TerunaRx::TerunaRx(std::function<void(const Press &)> onPress) : onPress_(std::move(onPress)) {}

void TerunaRx::level(double timeUs, int level) {
    const int next = level != 0 ? 1 : 0;
    if (!haveLevel_) {
        haveLevel_ = true;
        level_ = next;
        runStartUs_ = timeUs;
        return;
    }
    // The same level again was a pulse too short to see, not a reason to break the frame:
    // the kernel names an edge by the level it reads, so it merges such a pulse's two edges,
    // and the transmitter's own low between a frame that ends low and the next start lasts
    // no time at all.
    if (next == level_) {
        return;
    }
    take({level_, timeUs > runStartUs_ ? timeUs - runStartUs_ : 0, timeUs});
    level_ = next;
    runStartUs_ = timeUs;
}

void TerunaRx::edgesLost(double timeUs, int level) {
    flush();
    abandonFrame();
    lastEndedFrame_ = false;
    haveLevel_ = true;
    level_ = level != 0 ? 1 : 0;
    runStartUs_ = timeUs;
}

void TerunaRx::silentUntil(double timeUs) {
    if (haveLevel_ && timeUs - runStartUs_ > kSilenceUs) {
        flush();
        abandonFrame();
        endPress();
    } else if (havePress_ && undecoded_ == 0 && timeUs - lastFrameEndUs_ > kNoFrameUs) {
        endPress();
    }
}

void TerunaRx::end(double timeUs) {
    if (haveLevel_) {
        take({level_, timeUs > runStartUs_ ? timeUs - runStartUs_ : 0, timeUs});
    }
    haveLevel_ = false;
    flush();
    abandonFrame();
    endPress();
}

void TerunaRx::take(const Run &run) {
    if (onRun_) {
        onRun_(run.level, run.widthUs);
    }
    if (run.widthUs > kSilenceUs) {
        // What came before is read as it stands, and its time base is not carried over.
        flush();
        decode(run);
        window_.clear();
        return;
    }
    window_.push(run);
    ++undecoded_;
    if (++sinceLearnt_ >= kLearnEveryRuns) {
        learnTimebase();
    }
    while (undecoded_ > kLookAheadRuns ||
           (undecoded_ > 0 && run.endUs - window_[window_.size() - undecoded_].endUs > kLookAheadUs)) {
        decodeNext();
    }
}

// Decodes the oldest run not decoded yet, joining a glitch and the run after it to the run
// held back before it.
void TerunaRx::decodeNext() {
    const std::size_t at = window_.size() - undecoded_;
    const Run run = window_[at];
    --undecoded_;
    if (haveHeld_ && run.widthUs < glitchUs(run.level)) {
        if (undecoded_ > 0) {
            held_.widthUs += run.widthUs + window_[at + 1].widthUs;
            held_.endUs = window_[at + 1].endUs;
            --undecoded_;
        }
        return;
    }
    if (haveHeld_) {
        decode(held_);
    }
    held_ = run;
    haveHeld_ = true;
}

void TerunaRx::flush() {
    if (undecoded_ > 0) {
        learnTimebase();
    }
    while (undecoded_ > 0) {
        decodeNext();
    }
    if (haveHeld_) {
        decode(held_);
        haveHeld_ = false;
    }
}

void TerunaRx::learnTimebase() {
    sinceLearnt_ = 0;
    if (window_.size() < kFewestRunsToLearn) {
        return;
    }
    for (std::vector<double> &widths : sorted_) {
        widths.clear();
    }
    for (std::size_t at = 0; at < window_.size(); ++at) {
        sorted_[static_cast<std::size_t>(window_[at].level)].push_back(window_[at].widthUs);
    }
    for (std::vector<double> &widths : sorted_) {
        std::sort(widths.begin(), widths.end());
    }
    // While frames are being read, the time base only drifts: a search near it suffices.
    // Otherwise a coarse search over the whole range, then a fine one around its best.
    double bestScale = scale_, bestSkewUs = skewUs_;
    double best = learntScore(bestScale, bestSkewUs);
    const auto search = [&](double scaleSpan, double scaleStep, double skewSpanUs, double skewStepUs) {
        const double fromScale = bestScale, fromSkewUs = bestSkewUs;
        for (double scale = fromScale - scaleSpan; scale <= fromScale + scaleSpan + 1e-9; scale += scaleStep) {
            for (double skewUs = fromSkewUs - skewSpanUs; skewUs <= fromSkewUs + skewSpanUs + 1e-9;
                 skewUs += skewStepUs) {
                if (scale < kMinScale - 1e-9 || scale > kMaxScale + 1e-9 || std::fabs(skewUs) > kMaxSkewUs + 1e-9) {
                    continue;
                }
                const double score = learntScore(scale, skewUs);
                if (score > best) {
                    best = score;
                    bestScale = scale;
                    bestSkewUs = skewUs;
                }
            }
        }
    };
    // A frame takes about as many runs as come between two learnings: only two of those
    // without a frame say that the time base is lost.
    learntWithoutFrame_ = framesSinceLearnt_ > 0 ? 0 : learntWithoutFrame_ + 1;
    if (learntWithoutFrame_ >= 2) {
        bestScale = (kMinScale + kMaxScale) / 2;
        bestSkewUs = 0;
        best = learntScore(bestScale, bestSkewUs);
        search((kMaxScale - kMinScale) / 2, 0.04, kMaxSkewUs, 8);
    }
    search(0.03, 0.01, 6, 2);
    framesSinceLearnt_ = 0;
    if (best > 0) {
        scale_ = bestScale;
        skewUs_ = bestSkewUs;
    }
}

// How many of the window's runs fall near a nominal width under this scale and skew, those
// nearest counting twice; a hair less the further it is from nominal, so that equal
// readings resolve towards it.
double TerunaRx::learntScore(double scale, double skewUs) const {
    // Both levels carry zero halves and ones; only the high one carries starts.
    static constexpr double kWidths[] = {kZeroHalfUs, kOneUs, kStartUs};
    double score = 0;
    for (int lineLevel = 0; lineLevel < 2; ++lineLevel) {
        const std::vector<double> &widths = sorted_[static_cast<std::size_t>(lineLevel)];
        const auto within = [&](double lowUs, double highUs) {
            return static_cast<double>(std::upper_bound(widths.begin(), widths.end(), highUs) -
                                       std::lower_bound(widths.begin(), widths.end(), lowUs));
        };
        for (const double symbolUs : kWidths) {
            const double centreUs = symbolUs * scale + skewOf(lineLevel, skewUs);
            const double spreadUs = centreUs * 0.15 + 3;
            if (centreUs > 0 && (lineLevel != 0 || symbolUs != kStartUs)) {
                score += within(centreUs - spreadUs, centreUs + spreadUs) +
                         within(centreUs - spreadUs / 2, centreUs + spreadUs / 2);
            }
        }
    }
    return score - 0.25 * (std::fabs(scale - 1) / (kMaxScale - 1) + std::fabs(skewUs) / kMaxSkewUs);
}

double TerunaRx::withoutTimebase(const Run &run) const { return (run.widthUs - skewOf(run.level, skewUs_)) / scale_; }

// Shorter pulses are glitches; where the receiver makes the level's shortest runs shorter
// than that, the limit stays well below them.
double TerunaRx::glitchUs(int level) const {
    return std::min(kGlitchUs, 0.7 * (kZeroHalfUs * scale_ + skewOf(level, skewUs_)));
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
    const double widthUs = withoutTimebase(run);
    if (inFrame_) {
        if (continueFrame(run, widthUs)) {
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
        if (near(widthUs, kStartUs + partUs) &&
            (bestUs < 0 || std::fabs(widthUs - kStartUs - partUs) < std::fabs(widthUs - kStartUs - bestUs))) {
            bestUs = partUs;
        }
    }
    if (bestUs >= 0) {
        const double startUs = run.widthUs - bestUs * scale_;
        beginFrame(startUs, run.endUs - startUs, followsFrame);
    }
}

// Reads `run`, `widthUs` wide once scale and skew are taken off, as the next part of the
// frame; false when it cannot be one.
bool TerunaRx::continueFrame(const Run &run, double widthUs) {
    const bool lastBit = bits_ == TerunaCode::kCodeBits - 1;
    if (pulseDue_) {
        pulseDue_ = false;
        if (near(widthUs, kZeroHalfUs)) {
            frameSumZeroUs_ += holdUs_ + run.widthUs;
            frameZeroHalves_ += 2;
            completeSymbol(0, run.endUs);
            return true;
        }
        if (lastBit && run.level == 1 && near(widthUs, kZeroHalfUs + kStartUs)) {
            frameSumZeroUs_ += holdUs_;
            ++frameZeroHalves_;
            completeSymbol(0, run.endUs);
            const double startUs = run.widthUs - kZeroHalfUs * scale_;
            beginFrame(startUs, run.endUs - startUs, true);
            return true;
        }
        return false;
    }
    if (near(widthUs, kZeroHalfUs)) {
        holdUs_ = run.widthUs;
        pulseDue_ = true;
        return true;
    }
    if (near(widthUs, kOneUs)) {
        frameSumOneUs_ += run.widthUs;
        ++frameOnes_;
        completeSymbol(1, run.endUs);
        return true;
    }
    if (lastBit && run.level == 1 && near(widthUs, kOneUs + kStartUs)) {
        completeSymbol(1, run.endUs);
        const double startUs = run.widthUs - kOneUs * scale_;
        beginFrame(startUs, run.endUs - startUs, true);
        return true;
    }
    return false;
}

// `startUs` is the start's measured width; for a start joined to the run before it, that
// run's width under the learnt scale is taken off. The frame began at `beginUs`.
void TerunaRx::beginFrame(double startUs, double beginUs, bool followsFrame) {
    inFrame_ = true;
    pulseDue_ = false;
    code_ = 0;
    bits_ = 0;
    followsFrame_ = followsFrame;
    frameBeginUs_ = beginUs;
    frameStartUs_ = startUs;
    frameSumOneUs_ = frameSumZeroUs_ = 0;
    frameOnes_ = frameZeroHalves_ = 0;
}

void TerunaRx::completeSymbol(unsigned int bit, double endUs) {
    code_ = code_ << 1 | bit;
    if (++bits_ == TerunaCode::kCodeBits) {
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
        if (followsFrame_ && otherCode_ == code_) {
            ++otherInARow_;
        } else {
            otherInARow_ = 1;
            otherBeginUs_ = frameBeginUs_;
        }
        otherCode_ = code_;
        if (otherInARow_ < kFramesForAPress) {
            return;
        }
        const unsigned int seen = otherInARow_;
        endPress();
        startPress(otherCode_, otherBeginUs_);
        frames_ = inARow_ = seen - 1;
    } else if (havePress_ && code_ != pressCode_) {
        endPress();
    }
    otherInARow_ = 0;
    if (!havePress_) {
        startPress(code_, frameBeginUs_);
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
    ++framesSinceLearnt_;
    sumScale_ += scale_;
    sumSkewUs_ += skewUs_;
}

void TerunaRx::startPress(unsigned int code, double beginUs) {
    havePress_ = true;
    pressCode_ = code;
    pressBeginUs_ = beginUs;
    frames_ = inARow_ = 0;
    confirmed_ = false;
    sumStartUs_ = sumOneUs_ = sumZeroUs_ = 0;
    starts_ = ones_ = zeroHalves_ = 0;
    sumScale_ = sumSkewUs_ = 0;
}

void TerunaRx::abandonFrame() {
    inFrame_ = false;
    pulseDue_ = false;
}

void TerunaRx::endPress() {
    if (havePress_ && confirmed_) {
        const auto mean = [](double sum, int count) { return count > 0 ? sum / count : 0.0; };
        onPress_({TerunaCode::remoteOf(pressCode_), TerunaCode::buttonOf(pressCode_), frames_, pressBeginUs_,
                  mean(sumStartUs_, starts_), mean(sumOneUs_, ones_), mean(sumZeroUs_, zeroHalves_),
                  mean(sumScale_, starts_), mean(sumSkewUs_, starts_)});
    }
    havePress_ = false;
    confirmed_ = false;
    inARow_ = 0;
    otherInARow_ = 0;
}

}  // namespace rx
