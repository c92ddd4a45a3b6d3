// SPDX-License-Identifier: MIT
// Reads the runs of a line, under a time base, as frames of the line code: code words out.
#ifndef TERUNA_RX_FRAMEREADER_H
#define TERUNA_RX_FRAMEREADER_H

#include <array>
#include <cstddef>
#include <optional>

#include "TimeBase.h"

namespace rx {

// A whole run of one level, in microseconds on the input's clock.
struct Run {
    int level;
    double widthUs;
    double endUs;
};

struct Frame {
    unsigned int code;
    double beginUs;
    double endUs;
    bool followsFrame;  // began right where a decoded frame ended
    // Measured widths: the start's, and the sums of the ones' and the zeros' halves.
    double startUs;
    double sumOneUs;
    int ones;
    double sumZeroUs;
    int zeroHalves;
    TimeBase timeBase;  // the one it was read under
};

class FrameReader {
public:
    // Reads `run` as the next part of a frame under `timeBase`: the frame it completes, if any.
    std::optional<Frame> read(const Run &run, const TimeBase &timeBase);

    // What comes next is not joined to what came before: a silence, lost edges, the end.
    void breakOff() {
        inFrame_ = false;
        pulseDue_ = false;
        lastEndedFrame_ = false;
    }

private:
    // The symbols, and a start joined to a zero's pulse or a one before it.
    enum Symbol { kZeroHalf, kOne, kStart, kZeroHalfStart, kOneStart, kSymbols };
    struct Widths {
        double leastUs, mostUs;
    };

    // The widths each symbol may have as received, per level, under `timeBase`.
    void readUnder(const TimeBase &timeBase);
    [[nodiscard]] bool near(const Run &run, Symbol symbol) const {
        const Widths &widths = widths_[static_cast<std::size_t>(run.level)][symbol];
        return run.widthUs >= widths.leastUs && run.widthUs <= widths.mostUs;
    }
    std::optional<Frame> continueFrame(const Run &run, const TimeBase &timeBase, bool &continued);
    void beginFrame(const Run &run, double partUs, bool followsFrame, const TimeBase &timeBase);
    std::optional<Frame> completeSymbol(unsigned int bit, double endUs);

    bool inFrame_ = false;
    bool pulseDue_ = false;  // a zero's hold was read; its pulse comes next
    bool lastEndedFrame_ = false;
    double holdUs_ = 0;
    int bits_ = 0;
    Frame frame_{};
    TimeBase readUnder_{0, 0};
    std::array<std::array<Widths, kSymbols>, 2> widths_{};
};

}  // namespace rx

#endif
