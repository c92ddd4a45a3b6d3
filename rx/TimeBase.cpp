// SPDX-License-Identifier: MIT
// The time base is the one under which the most runs of the window fall near the line
// code's widths: counted per level from histograms kept up to date as runs come and go, so
// that a candidate costs a handful of lookups whatever the window's length.
#include "TimeBase.h"

#include <cmath>
#include <cstdlib>

#include "TerunaCode.h"

namespace rx {

namespace {

// A run counts for a symbol when it lies within this share of the symbol's width under the
// candidate's scale, plus a little for the narrowest; within half that it counts twice, so
// that the best candidate centres the runs. Narrower than the frame reader's tolerance,
// which then has room for the jitter around them.
constexpr double kBandShare = 0.15;
constexpr double kBandSlackUs = 3;

// The searches: the whole grid every fourth step (the coarse search's bands overlap its
// neighbours' at every scale and skew), then every step within three of the best.
constexpr int kCoarseStep = 4;
constexpr int kFineReach = 3;

constexpr int kNominalScaleAt = 20;
constexpr int kNoSkewAt = 40;
static_assert(kScales.at(kNominalScaleAt) == 1.0 && kSkewsUs.at(kNoSkewAt) == 0.0);
static_assert((kScales.count - 1) % kCoarseStep == 0 && (kSkewsUs.count - 1) % kCoarseStep == 0,
              "the coarse search reaches both ends of each grid");
// One skew step moves a band by one bin, and every band, shifted by any skew, stays within
// the cumulative counts.
static_assert(kSkewsUs.step == TimeBaseLearner::kBinUs);

struct Symbol {
    double widthUs;
    bool high;  // carried by the high level only
};
// Both levels carry zero halves and ones; only the high one carries starts. Each symbol has
// a band and a half band on each level that carries it.
constexpr Symbol kSymbols[] = {
    {TerunaCode::kZeroHalfUs, false}, {TerunaCode::kOneUs, false}, {TerunaCode::kStartUs, true}};
constexpr std::size_t kHighBands = 2 * 3;
constexpr std::size_t kBands = kHighBands + 2 * 2;

// Per scale of the grid, where each band's counts begin and end under no skew: first the high
// level's bands, then the low level's.
using BandTable = std::array<std::array<int, 2 * kBands>, kScales.count>;

BandTable bandTable() {
    BandTable table{};
    for (int scaleAt = 0; scaleAt < kScales.count; ++scaleAt) {
        std::size_t band = 0;
        for (const int level : {1, 0}) {
            for (const Symbol &symbol : kSymbols) {
                if (symbol.high && level == 0) {
                    continue;
                }
                const double centreUs = symbol.widthUs * kScales.at(scaleAt);
                const double spreadUs = centreUs * kBandShare + kBandSlackUs;
                for (const double reachUs : {spreadUs, spreadUs / 2}) {
                    const auto at = [](double us) {
                        return static_cast<int>(std::floor(us / TimeBaseLearner::kBinUs)) + TimeBaseLearner::kPad;
                    };
                    table[static_cast<std::size_t>(scaleAt)][band++] = at(centreUs - reachUs);
                    table[static_cast<std::size_t>(scaleAt)][band++] = at(centreUs + reachUs) + 1;
                }
            }
        }
    }
    return table;
}

// Candidates equal in runs are told apart by their distance from the nominal time base, each
// grid's whole reach weighing the same.
int distanceFromNominal(int scaleAt, int skewAt) {
    return std::abs(scaleAt - kNominalScaleAt) * (kSkewsUs.count - 1) +
           std::abs(skewAt - kNoSkewAt) * (kScales.count - 1);
}

}  // namespace

TimeBaseLearner::TimeBaseLearner() : scaleAt_(kNominalScaleAt), skewAt_(kNoSkewAt) {}

void TimeBaseLearner::clear() {
    for (auto &counts : counts_) {
        counts.fill(0);
    }
}

void TimeBaseLearner::learn(bool wholeRange) {
    for (std::size_t level = 0; level < 2; ++level) {
        std::array<int, kBins + 2 *kPad + 1> &below = below_[level];
        int sum = 0;
        for (int at = 0; at <= kPad; ++at) {
            below[static_cast<std::size_t>(at)] = 0;
        }
        for (std::size_t bin = 0; bin < kBins; ++bin) {
            sum += counts_[level][bin];
            below[bin + kPad + 1] = sum;
        }
        for (std::size_t at = kBins + kPad + 1; at < below.size(); ++at) {
            below[at] = sum;
        }
    }
    Candidate best{scaleAt_, skewAt_, -1};
    search(best, best, best, 1);
    if (wholeRange) {
        best = {kNominalScaleAt, kNoSkewAt, -1};
        search(best, {0, 0, 0}, {kScales.count - 1, kSkewsUs.count - 1, 0}, kCoarseStep);
    }
    search(best, {best.scaleAt - kFineReach, best.skewAt - kFineReach, 0},
           {best.scaleAt + kFineReach, best.skewAt + kFineReach, 0}, 1);
    if (best.score > 0) {
        scaleAt_ = best.scaleAt;
        skewAt_ = best.skewAt;
    }
}

void TimeBaseLearner::search(Candidate &best, Candidate from, Candidate to, int step) const {
    static const BandTable kBandBins = bandTable();
    int nearest = distanceFromNominal(best.scaleAt, best.skewAt);
    const int *const high = below_[1].data();
    const int *const low = below_[0].data();
    for (int scaleAt = std::max(from.scaleAt, 0); scaleAt <= std::min(to.scaleAt, kScales.count - 1);
         scaleAt += step) {
        const std::array<int, 2 * kBands> &bins = kBandBins[static_cast<std::size_t>(scaleAt)];
        for (int skewAt = std::max(from.skewAt, 0); skewAt <= std::min(to.skewAt, kSkewsUs.count - 1);
             skewAt += step) {
            // A skew moves the high level's bands one way and the low level's the other.
            const int *const highShifted = high + (skewAt - kNoSkewAt);
            const int *const lowShifted = low - (skewAt - kNoSkewAt);
            int score = 0;
            for (std::size_t b = 0; b < 2 * kHighBands; b += 2) {
                score += highShifted[bins[b + 1]] - highShifted[bins[b]];
            }
            for (std::size_t b = 2 * kHighBands; b < 2 * kBands; b += 2) {
                score += lowShifted[bins[b + 1]] - lowShifted[bins[b]];
            }
            if (score < best.score) {
                continue;
            }
            const int distance = distanceFromNominal(scaleAt, skewAt);
            if (score > best.score || distance < nearest) {
                best = {scaleAt, skewAt, score};
                nearest = distance;
            }
        }
    }
}

}  // namespace rx
