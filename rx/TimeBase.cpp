// SPDX-License-Identifier: MIT
// The time base is the one under which the most runs of the window fall near the line
// code's widths: counted per level from histograms kept up to date as runs come and go, so
// that a candidate costs a handful of lookups whatever the window's length.
#include "TimeBase.h"

#include <cmath>
#include <cstdlib>
#include <memory>

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
// neighbours' at every scale and skew), then every step within half of that of the best.
constexpr int kCoarseStep = 4;
constexpr int kFineReach = 3;

constexpr int kNominalScaleAt = 20;
constexpr int kNoSkewAt = 40;
static_assert(kScales.at(kNominalScaleAt) == 1.0 && kSkewsUs.at(kNoSkewAt) == 0.0);
static_assert((kScales.count - 1) % kCoarseStep == 0 && (kSkewsUs.count - 1) % kCoarseStep == 0,
              "the coarse search reaches both ends of each grid");
// The narrowest symbol as received stays wider than its spread.
static_assert(linecode::kZeroHalfUs * kScales.first + kSkewsUs.first > kBandSlackUs / (1 - kBandShare));

struct Symbol {
    double widthUs;
    bool high;  // carried by the high level only
};
// Both levels carry zero halves and ones; only the high one carries starts. Each symbol has
// a band and a half band on each level that carries it.
constexpr Symbol kSymbols[] = {{linecode::kZeroHalfUs, false}, {linecode::kOneUs, false}, {linecode::kStartUs, true}};
constexpr std::size_t kHighBands = std::size_t{2} * 3;
constexpr std::size_t kBands = kHighBands + std::size_t{2} * 2;

// The bins that bands reach, per level: the widest symbol of each, as received, with its spread.
constexpr double widestBandUs(double symbolUs) {
    return (symbolUs * kScales.at(kScales.count - 1) + kSkewsUs.at(kSkewsUs.count - 1)) * (1 + kBandShare) +
           kBandSlackUs;
}
constexpr std::array<std::size_t, 2> kBinsRead = {
    static_cast<std::size_t>(widestBandUs(linecode::kOneUs) / TimeBaseLearner::kBinUs) + 2,
    static_cast<std::size_t>(widestBandUs(linecode::kStartUs) / TimeBaseLearner::kBinUs) + 2};
static_assert(kBinsRead[1] < TimeBaseLearner::kBins, "the last bin, where all wider runs go, is in no band");

// For every candidate of the grid, the bins where each band begins and ends: first the high
// level's bands, then the low level's. A band spreads around the symbol's width as received,
// so that where the receiver makes a symbol narrow, only runs close to it count.
using Bands = std::array<std::uint16_t, 2 * kBands>;
using BandTable = std::array<std::array<Bands, kSkewsUs.count>, kScales.count>;

std::unique_ptr<const BandTable> bandTable() {
    auto table = std::make_unique<BandTable>();
    for (int scaleAt = 0; scaleAt < kScales.count; ++scaleAt) {
        for (int skewAt = 0; skewAt < kSkewsUs.count; ++skewAt) {
            const TimeBase timeBase{kScales.at(scaleAt), kSkewsUs.at(skewAt)};
            Bands &bands = (*table)[static_cast<std::size_t>(scaleAt)][static_cast<std::size_t>(skewAt)];
            std::size_t band = 0;
            for (const int level : {1, 0}) {
                for (const Symbol &symbol : kSymbols) {
                    if (symbol.high && level == 0) {
                        continue;
                    }
                    const double centreUs = timeBase.receivedUs(level, symbol.widthUs);
                    const double spreadUs = centreUs * kBandShare + kBandSlackUs;
                    for (const double reachUs : {spreadUs, spreadUs / 2}) {
                        const auto bin = [](double us) {
                            return static_cast<std::uint16_t>(std::floor(us / TimeBaseLearner::kBinUs));
                        };
                        bands[band++] = bin(centreUs - reachUs);
                        bands[band++] = static_cast<std::uint16_t>(bin(centreUs + reachUs) + 1);
                    }
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
        const std::uint16_t *const counts = counts_[level].data();
        int *const below = below_[level].data();
        int sum = 0;
        for (std::size_t bin = 0; bin < kBinsRead[level]; ++bin) {
            sum += counts[bin];
            below[bin + 1] = sum;
        }
    }
    Candidate best{scaleAt_, skewAt_, -1};
    search(best, best, best, 1, true);
    if (wholeRange) {
        // Bands alone find the best's neighbourhood; the half bands centre it.
        best = {kNominalScaleAt, kNoSkewAt, -1};
        search(best, {0, 0, 0}, {kScales.count - 1, kSkewsUs.count - 1, 0}, kCoarseStep, false);
        best.score = -1;
        search(best, best, best, 1, true);
    }
    search(best, {best.scaleAt - kFineReach, best.skewAt - kFineReach, 0},
           {best.scaleAt + kFineReach, best.skewAt + kFineReach, 0}, 1, true);
    if (best.score > 0) {
        scaleAt_ = best.scaleAt;
        skewAt_ = best.skewAt;
    }
}

void TimeBaseLearner::search(Candidate &best, Candidate from, Candidate to, int step, bool halfBands) const {
    static const std::unique_ptr<const BandTable> kBandBins = bandTable();
    // Each symbol's band and half band, one after the other: the half bands alone, or both.
    const std::size_t bandStep = halfBands ? 2 : 4;
    const std::size_t firstBand = halfBands ? 0 : 2;
    int nearest = distanceFromNominal(best.scaleAt, best.skewAt);
    const int *const high = below_[1].data();
    const int *const low = below_[0].data();
    for (int scaleAt = std::max(from.scaleAt, 0); scaleAt <= std::min(to.scaleAt, kScales.count - 1); scaleAt += step) {
        for (int skewAt = std::max(from.skewAt, 0); skewAt <= std::min(to.skewAt, kSkewsUs.count - 1); skewAt += step) {
            const Bands &bins = (*kBandBins)[static_cast<std::size_t>(scaleAt)][static_cast<std::size_t>(skewAt)];
            int score = 0;
            for (std::size_t b = firstBand; b < 2 * kHighBands; b += bandStep) {
                score += high[bins[b + 1]] - high[bins[b]];
            }
            for (std::size_t b = 2 * kHighBands + firstBand; b < 2 * kBands; b += bandStep) {
                score += low[bins[b + 1]] - low[bins[b]];
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
