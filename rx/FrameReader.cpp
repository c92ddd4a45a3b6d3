// SPDX-License-Identifier: MIT
// After a start symbol (520 us high) the pin is low, and each bit is one run of the level it
// holds: 110 us for a zero, followed by a 110 us pulse of the other level, or 300 us for a
// one, after which the level has changed. When a frame ends low, the next start symbol
// drives the pin high at once, so its high run is joined (across a pulse too short to see)
// to the frame's last high run: a zero's pulse (110 + 520 us) or a one's high hold
// (300 + 520 us).
#include "FrameReader.h"

#include <algorithm>
#include <cmath>

#include "TerunaCode.h"

namespace rx {

namespace {

// Of each nominal width under the learnt scale, or of the width as received where the
// receiver makes it longer, as a receiver's jitter grows with the widths it delivers.
constexpr double kTolerance = 0.25;

constexpr double kStartUs = linecode::kStartUs;
constexpr double kOneUs = linecode::kOneUs;
constexpr double kZeroHalfUs = linecode::kZeroHalfUs;

// What a run may be: a symbol alone, or a start joined to the part of a symbol before it.
constexpr double kSymbolsUs[] = {kZeroHalfUs, kOneUs, kStartUs, kZeroHalfUs + kStartUs, kOneUs + kStartUs};

}  // namespace

void FrameReader::readUnder(const TimeBase &timeBase) {
    if (timeBase.scale == readUnder_.scale && timeBase.skewUs == readUnder_.skewUs) {
        return;
    }
    readUnder_ = timeBase;
    for (const int level : {0, 1}) {
        for (std::size_t symbol = 0; symbol < kSymbols; ++symbol) {
            const double receivedUs = timeBase.receivedUs(level, kSymbolsUs[symbol]);
            const double toleranceUs = kTolerance * std::max(kSymbolsUs[symbol] * timeBase.scale, receivedUs);
            widths_[static_cast<std::size_t>(level)][symbol] = {receivedUs - toleranceUs, receivedUs + toleranceUs};
        }
    }
}

std::optional<Frame> FrameReader::read(const Run &run, const TimeBase &timeBase) {
    readUnder(timeBase);
    const bool followsFrame = lastEndedFrame_;
    lastEndedFrame_ = false;
    if (inFrame_) {
        bool continued = false;
        std::optional<Frame> frame = continueFrame(run, timeBase, continued);
        if (continued) {
            return frame;
        }
        inFrame_ = false;
        pulseDue_ = false;
    }
    if (run.level != 1) {
        return std::nullopt;
    }
    // A start. Right after a decoded frame it stands alone (the frame took in a start joined
    // to its last run); after a frame that could not be read it may come joined to that
    // frame's last run. Where the widths allow more than one reading, the nearest is taken:
    // the frame begins at the run's end whichever it is.
    const double sentUs = timeBase.sentUs(run.level, run.widthUs);
    double partUs = -1;
    const std::pair<Symbol, double> starts[] = {{kStart, 0}, {kZeroHalfStart, kZeroHalfUs}, {kOneStart, kOneUs}};
    for (const auto &[start, candidateUs] : starts) {
        if (followsFrame && candidateUs > 0) {
            break;
        }
        if (near(run, start) &&
            (partUs < 0 || std::fabs(sentUs - kStartUs - candidateUs) < std::fabs(sentUs - kStartUs - partUs))) {
            partUs = candidateUs;
        }
    }
    if (partUs >= 0) {
        beginFrame(run, partUs, followsFrame, timeBase);
    }
    return std::nullopt;
}

// Reads `run` as the next part of the frame; `continued` is false when it cannot be one.
std::optional<Frame> FrameReader::continueFrame(const Run &run, const TimeBase &timeBase, bool &continued) {
    const bool lastBit = bits_ == linecode::kCodeBits - 1;
    // The frame's last run, high, with the next frame's start joined to it.
    const auto endsJoined = [&](Symbol joined) { return lastBit && run.level == 1 && near(run, joined); };
    continued = true;
    if (pulseDue_) {
        pulseDue_ = false;
        if (near(run, kZeroHalf)) {
            frame_.sumZeroUs += holdUs_ + run.widthUs;
            frame_.zeroHalves += 2;
            return completeSymbol(0, run.endUs);
        }
        if (endsJoined(kZeroHalfStart)) {
            frame_.sumZeroUs += holdUs_;
            ++frame_.zeroHalves;
            std::optional<Frame> frame = completeSymbol(0, run.endUs);
            beginFrame(run, kZeroHalfUs, true, timeBase);
            return frame;
        }
    } else if (near(run, kZeroHalf)) {
        holdUs_ = run.widthUs;
        pulseDue_ = true;
        return std::nullopt;
    } else if (near(run, kOne)) {
        frame_.sumOneUs += run.widthUs;
        ++frame_.ones;
        return completeSymbol(1, run.endUs);
    } else if (endsJoined(kOneStart)) {
        std::optional<Frame> frame = completeSymbol(1, run.endUs);
        beginFrame(run, kOneUs, true, timeBase);
        return frame;
    }
    continued = false;
    return std::nullopt;
}

// Begins a frame at a start that ends with `run`, after a part `partUs` wide as sent that
// the run also holds: the start's measured width is the run's less that part under the
// time base's scale.
void FrameReader::beginFrame(const Run &run, double partUs, bool followsFrame, const TimeBase &timeBase) {
    inFrame_ = true;
    pulseDue_ = false;
    bits_ = 0;
    frame_ = {};
    frame_.startUs = run.widthUs - partUs * timeBase.scale;
    frame_.beginUs = run.endUs - frame_.startUs;
    frame_.followsFrame = followsFrame;
    frame_.timeBase = timeBase;
}

std::optional<Frame> FrameReader::completeSymbol(unsigned int bit, double endUs) {
    frame_.code = frame_.code << 1 | bit;
    if (++bits_ < linecode::kCodeBits) {
        return std::nullopt;
    }
    inFrame_ = false;
    lastEndedFrame_ = true;
    frame_.endUs = endUs;
    return frame_;
}

}  // namespace rx
