// SPDX-License-Identifier: MIT
// The receiver: turns timed levels of a line back into the presses TerunaTx sends, as a
// cheap receiver module delivers them. It streams: runs are assembled from the levels, kept
// in a window from which the time base is learnt, held back a little so that the first runs
// of a press are read with what its later ones teach, passed through a glitch filter, and
// read as frames, which are gathered into presses.
#ifndef TERUNA_RX_TERUNARX_H
#define TERUNA_RX_TERUNARX_H

#include <array>
#include <cstddef>
#include <functional>

#include "FrameReader.h"
#include "Press.h"
#include "PressGatherer.h"
#include "TimeBase.h"

namespace rx {

class TerunaRx {
public:
    explicit TerunaRx(std::function<void(const Press &)> onPress);

    // Also tells `onRun` of every run of the line as it is read, glitches and noise included.
    void watchRuns(std::function<void(int level, double widthUs)> onRun) { onRun_ = std::move(onRun); }

    // The line took `level` (0 or 1) at `timeUs`. Times must not go backwards.
    void level(double timeUs, int level);

    // Edges were lost before this one, which took the line to `level` at `timeUs`: what came
    // before is not joined to what follows.
    void edgesLost(double timeUs, int level);

    // The line has kept its level until `timeUs`: a press that ended before is reported.
    void silentUntil(double timeUs);

    // The input ends at `timeUs`: what is left is decoded and reported. The receiver is then
    // as new: what it is fed next is another input, whose clock may begin again anywhere.
    void end(double timeUs);

    // The latest runs, oldest first, in a ring of fixed size: a receiver that listens for
    // months allocates nothing as it goes.
    class Window {
    public:
        static constexpr std::size_t kRuns = 128;  // about four frames

        void clear() { first_ = size_ = 0; }
        // Adds `run`; returns the oldest run, which it pushed out, or nothing.
        const Run *push(const Run &run);
        [[nodiscard]] std::size_t size() const { return size_; }
        const Run &operator[](std::size_t at) const { return runs_[(first_ + at) % kRuns]; }

    private:
        std::array<Run, kRuns> runs_{};
        Run out_{};
        std::size_t first_ = 0, size_ = 0;
    };

private:
    void addRun(const Run &run);
    void learn();
    void decodeNext();
    void decode(const Run &run);
    void flush();
    void breakOff();

    std::function<void(int, double)> onRun_;

    // The run in progress.
    bool haveLevel_ = false;
    int level_ = 0;
    double runStartUs_ = 0;

    // The latest whole runs, of which the newest `undecoded_` are not decoded yet.
    Window window_;
    std::size_t undecoded_ = 0;

    TimeBaseLearner learner_;
    std::size_t sinceLearnt_ = 0;
    unsigned int framesSinceLearnt_ = 0;
    unsigned int learntWithoutFrame_;
    unsigned int lostLearnings_ = 0;
    unsigned int trackingLearnings_ = 0;

    // Glitch filter: the last whole run, not decoded yet in case a glitch joins it to the next one.
    bool havePending_ = false;
    Run pending_{0, 0, 0};

    FrameReader frames_;
    PressGatherer presses_;
};

}  // namespace rx

#endif
