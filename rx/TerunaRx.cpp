// SPDX-License-Identifier: MIT
// The streaming shell of the receiver. A receiver module does not deliver the widths the
// transmitter sent: the remote's RC clock scales them all, and the data slicer, whose
// threshold follows the average level, makes every high run longer and every low run as
// much shorter (or the reverse). That time base is learnt from the latest runs, and runs are
// read with it taken off.
#include "TerunaRx.h"

#include <algorithm>

#include "TerunaCode.h"

namespace rx {

namespace {

// Shorter pulses are not the transmitter's where its runs are longer; where the receiver
// makes a level's shortest runs (zero halves) shorter than that, the limit stays this share
// of them, well below.
constexpr double kGlitchUs = 40;
constexpr double kGlitchShareOfShortest = 0.7;

// A run this long is a silence: no frame goes on across it.
constexpr double kSilenceUs = 10000;

// Runs are decoded this many runs, or this long, behind the newest: the runs of a press are
// read with what its later runs teach, and noise does not hold a press back for long.
constexpr std::size_t kLookAheadRuns = 48;
constexpr double kLookAheadUs = 20000;  // about three frames
// The time base is learnt again every so many runs, from a window of at least so many.
constexpr std::size_t kLearnEveryRuns = 32;
constexpr std::size_t kFewestRunsToLearn = 24;
// A frame takes about as many runs as come between two learnings: only this many learnings
// without a frame say that the time base is lost. Then the whole range is searched at every
// so many learnings, and nothing is learnt between: noise, where a listener spends most of
// its time, costs little, and a press of 150 frames is found within two of them all the same.
constexpr unsigned int kLearningsToLoseIt = 2;
constexpr unsigned int kLostLearningsPerSearch = 3;
// While frames decode, the time base only drifts: a search near it at every other learning
// follows it.
constexpr unsigned int kTrackingLearningsPerSearch = 2;

static_assert(TerunaRx::Window::kRuns > kLookAheadRuns, "the runs not decoded yet stay in the window");
static_assert(kLookAheadRuns > kLearnEveryRuns, "every run is decoded under a time base learnt from it");
static_assert(kLearnEveryRuns > kFewestRunsToLearn,
              "a window cleared by a silence is learnt from at the next learning");

}  // namespace

const Run *TerunaRx::Window::push(const Run &run) {
    const Run *out = nullptr;
    if (size_ == kRuns) {
        out_ = runs_[first_];
        out = &out_;
        first_ = (first_ + 1) % kRuns;
        --size_;
    }
    runs_[(first_ + size_++) % kRuns] = run;
    return out;
}

TerunaRx::TerunaRx(std::function<void(const Press &)> onPress)
    : learntWithoutFrame_(kLearningsToLoseIt), presses_(std::move(onPress)) {}

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
    addRun({level_, timeUs > runStartUs_ ? timeUs - runStartUs_ : 0, timeUs});
    level_ = next;
    runStartUs_ = timeUs;
}

void TerunaRx::edgesLost(double timeUs, int level) {
    breakOff();
    haveLevel_ = true;
    level_ = level != 0 ? 1 : 0;
    runStartUs_ = timeUs;
}

void TerunaRx::silentUntil(double timeUs) {
    if (haveLevel_ && timeUs - runStartUs_ > kSilenceUs) {
        breakOff();
        presses_.end();
    } else if (undecoded_ == 0) {
        presses_.noFrameUntil(timeUs);
    }
}

void TerunaRx::end(double timeUs) {
    if (haveLevel_) {
        addRun({level_, timeUs > runStartUs_ ? timeUs - runStartUs_ : 0, timeUs});
    }
    haveLevel_ = false;
    breakOff();
    presses_.end();
    // Nothing learnt from one recording may shape how the next one is read.
    window_.clear();
    learner_ = TimeBaseLearner();
    sinceLearnt_ = 0;
    framesSinceLearnt_ = 0;
    learntWithoutFrame_ = kLearningsToLoseIt;
    lostLearnings_ = 0;
    trackingLearnings_ = 0;
    frames_ = FrameReader();
}

void TerunaRx::addRun(const Run &run) {
    if (onRun_) {
        onRun_(run.level, run.widthUs);
    }
    if (run.widthUs > kSilenceUs) {
        // What came before is read as it stands, and its time base is not carried over.
        flush();
        decode(run);
        window_.clear();
        learner_.clear();
        return;
    }
    if (const Run *out = window_.push(run)) {
        learner_.remove(out->level, out->widthUs);
    }
    learner_.add(run.level, run.widthUs);
    ++undecoded_;
    if (++sinceLearnt_ >= kLearnEveryRuns) {
        learn();
    }
    while (undecoded_ > kLookAheadRuns ||
           (undecoded_ > 0 && run.endUs - window_[window_.size() - undecoded_].endUs > kLookAheadUs)) {
        decodeNext();
    }
}

void TerunaRx::learn() {
    sinceLearnt_ = 0;
    if (window_.size() < kFewestRunsToLearn) {
        return;
    }
    if (framesSinceLearnt_ > 0) {
        learntWithoutFrame_ = 0;
    } else if (learntWithoutFrame_ < kLearningsToLoseIt) {
        ++learntWithoutFrame_;
    }
    framesSinceLearnt_ = 0;
    if (learntWithoutFrame_ == 0 && ++trackingLearnings_ % kTrackingLearningsPerSearch != 0) {
        return;
    }
    if (learntWithoutFrame_ < kLearningsToLoseIt) {
        lostLearnings_ = 0;
        learner_.learn(false);
    } else if (lostLearnings_++ % kLostLearningsPerSearch == 0) {
        learner_.learn(true);
    }
}

// Decodes the oldest run not decoded yet, joining a glitch and the run after it to the run
// held back before it.
void TerunaRx::decodeNext() {
    const std::size_t at = window_.size() - undecoded_;
    const Run run = window_[at];
    --undecoded_;
    const double glitchUs =
        std::min(kGlitchUs, kGlitchShareOfShortest * learner_.timeBase().receivedUs(run.level, linecode::kZeroHalfUs));
    if (havePending_ && run.widthUs < glitchUs) {
        if (undecoded_ > 0) {
            pending_.widthUs += run.widthUs + window_[at + 1].widthUs;
            pending_.endUs = window_[at + 1].endUs;
            --undecoded_;
        }
        return;
    }
    if (havePending_) {
        decode(pending_);
    }
    pending_ = run;
    havePending_ = true;
}

void TerunaRx::decode(const Run &run) {
    presses_.noFrameUntil(run.endUs - run.widthUs);
    if (run.widthUs > kSilenceUs) {
        frames_.breakOff();
        presses_.end();
        return;
    }
    if (const std::optional<Frame> frame = frames_.read(run, learner_.timeBase())) {
        ++framesSinceLearnt_;
        presses_.add(*frame);
    }
}

void TerunaRx::flush() {
    if (undecoded_ > 0) {
        learn();
    }
    while (undecoded_ > 0) {
        decodeNext();
    }
    if (havePending_) {
        decode(pending_);
        havePending_ = false;
    }
}

void TerunaRx::breakOff() {
    flush();
    frames_.breakOff();
}

}  // namespace rx
