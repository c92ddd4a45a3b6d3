// SPDX-License-Identifier: MIT
// The time base of a received press: how the remote's clock scales the nominal widths, and
// how much longer the receiver's data slicer makes high runs (and low runs as much shorter);
// and its learning from the latest runs of the line.
#ifndef TERUNA_RX_TIMEBASE_H
#define TERUNA_RX_TIMEBASE_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace rx {

struct TimeBase {
    double scale = 1;
    double skewUs = 0;

    [[nodiscard]] double skewOf(int level) const { return level != 0 ? skewUs : -skewUs; }
    // A received run's width as the transmitter sent it.
    [[nodiscard]] double sentUs(int level, double widthUs) const { return (widthUs - skewOf(level)) / scale; }
    // A sent width as the receiver delivers it.
    [[nodiscard]] double receivedUs(int level, double sentUs) const { return sentUs * scale + skewOf(level); }
};

// Evenly spaced values, walked by index.
struct Grid {
    double first;
    double step;
    int count;
    [[nodiscard]] constexpr double at(int index) const { return first + step * index; }
};

// What is learnt: a remote's clock within a fifth of nominal, a receiver's skew within 80 us.
constexpr Grid kScales{0.8, 0.01, 41};
constexpr Grid kSkewsUs{-80, 2, 81};

// Learns the time base under which the most runs of each level fall near the line code's
// widths, from a window of runs that the caller keeps: it is told of every run that enters
// the window and of every one that leaves it, and keeps a histogram per level.
class TimeBaseLearner {
public:
    TimeBaseLearner();

    void add(int level, double widthUs) { ++counts_[index(level)][binOf(widthUs)]; }
    void remove(int level, double widthUs) { --counts_[index(level)][binOf(widthUs)]; }
    void clear();

    // Learns from the window: over the whole grid, then finer near the best found, or only
    // near the time base learnt last. Keeps that one when no run of the window fits any.
    void learn(bool wholeRange);

    [[nodiscard]] TimeBase timeBase() const { return {kScales.at(scaleAt_), kSkewsUs.at(skewAt_)}; }

    // Bins of the histograms, each this wide: finer than the narrowest band the score counts.
    static constexpr double kBinUs = 1;
    static constexpr int kBins = 832;  // up to 832 us, beyond the widest band; wider runs share the last bin

private:
    struct Candidate {
        int scaleAt;
        int skewAt;
        int score;
    };

    static std::size_t index(int level) { return level != 0 ? 1 : 0; }
    static std::size_t binOf(double widthUs) {
        return widthUs < (kBins - 1) * kBinUs ? static_cast<std::size_t>(std::max(widthUs, 0.0) / kBinUs) : kBins - 1;
    }
    // Scores the candidates at every `step`th index from `from` to `to` of both grids, within
    // them, keeping the best in `best`.
    void search(Candidate &best, Candidate from, Candidate to, int step, bool halfBands) const;

    std::array<std::array<std::uint16_t, kBins>, 2> counts_{};
    // Runs of the level in the bins below each index, made at each learning.
    std::array<std::array<int, kBins + 1>, 2> below_{};
    int scaleAt_;
    int skewAt_;
};

}  // namespace rx

#endif
