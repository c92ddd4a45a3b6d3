// SPDX-License-Identifier: MIT
// The receiver: turns timed levels of a line back into the presses TerunaTx sends, as a
// cheap receiver module delivers them.
#ifndef TERUNA_RX_TERUNARX_H
#define TERUNA_RX_TERUNARX_H

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

namespace rx {

struct Press {
    unsigned int remoteId;
    unsigned int buttonId;
    unsigned int frames;  // frames of this press that were decoded
    double timeUs;        // when its first decoded frame began, on the input's clock
    // Mean measured widths in microseconds: the start's high, a one, a zero's half.
    double startUs;
    double oneUs;
    double zeroUs;
    // What was learnt of the press: the remote's clock against the nominal one, and how
    // much longer the receiver made high runs (and low runs as much shorter).
    double scale;
    double skewUs;
};

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

    // The input ends at `timeUs`: what is left is decoded and reported.
    void end(double timeUs);

private:
    struct Run {
        int level;
        double widthUs;
        double endUs;
    };

    // The latest runs, oldest first, in a ring of fixed size: a receiver that listens for
    // months allocates nothing as it goes.
    class Window {
    public:
        static constexpr std::size_t kRuns = 128;  // about four frames

        void clear() { first_ = size_ = 0; }
        void push(const Run &run) {
            if (size_ == kRuns) {
                first_ = (first_ + 1) % kRuns;
                --size_;
            }
            runs_[(first_ + size_++) % kRuns] = run;
        }
        [[nodiscard]] std::size_t size() const { return size_; }
        const Run &operator[](std::size_t at) const { return runs_[(first_ + at) % kRuns]; }

    private:
        std::array<Run, kRuns> runs_{};
        std::size_t first_ = 0, size_ = 0;
    };

    void take(const Run &run);
    void decodeNext();
    void flush();
    void learnTimebase();
    double learntScore(double scale, double skewUs) const;
    double withoutTimebase(const Run &run) const;
    double glitchUs(int level) const;

    void decode(const Run &run);
    bool continueFrame(const Run &run, double widthUs);
    void beginFrame(double startUs, double beginUs, bool followsFrame);
    void completeSymbol(unsigned int bit, double endUs);
    void completeFrame(double endUs);
    void startPress(unsigned int code, double beginUs);
    void abandonFrame();
    void endPress();

    std::function<void(const Press &)> onPress_;
    std::function<void(int, double)> onRun_;

    // The run in progress.
    bool haveLevel_ = false;
    int level_ = 0;
    double runStartUs_ = 0;

    // The latest whole runs. The time base is learnt from all of them; the newest are not
    // decoded yet, so that the runs of a press are read with what its later runs teach too.
    Window window_;
    std::size_t undecoded_ = 0;
    std::size_t sinceLearnt_ = 0;
    unsigned int framesSinceLearnt_ = 0;
    unsigned int learntWithoutFrame_ = 2;
    double scale_ = 1;
    double skewUs_ = 0;
    std::array<std::vector<double>, 2> sorted_;  // the window's widths by level, while learning

    // Glitch filter: the last whole run, held back in case a glitch joins it to the next one.
    bool haveHeld_ = false;
    Run held_{0, 0, 0};

    // The frame being read.
    bool inFrame_ = false;
    bool pulseDue_ = false;  // a zero's hold was read; its pulse comes next
    double holdUs_ = 0;
    unsigned int code_ = 0;
    int bits_ = 0;
    bool followsFrame_ = false;  // began right where a decoded frame ended
    double frameBeginUs_ = 0;
    double frameStartUs_ = 0;
    double frameSumOneUs_ = 0, frameSumZeroUs_ = 0;
    int frameOnes_ = 0, frameZeroHalves_ = 0;
    bool lastEndedFrame_ = false;  // the last run read completed a frame

    // The press being gathered.
    bool havePress_ = false;
    unsigned int pressCode_ = 0;
    double pressBeginUs_ = 0;
    double lastFrameEndUs_ = 0;
    unsigned int frames_ = 0;
    unsigned int inARow_ = 0;     // frames decoded back to back
    bool confirmed_ = false;      // two of them were: the press is real
    unsigned int otherCode_ = 0;  // a different code word, not yet confirmed
    unsigned int otherInARow_ = 0;
    double otherBeginUs_ = 0;
    double sumStartUs_ = 0, sumOneUs_ = 0, sumZeroUs_ = 0;
    int starts_ = 0, ones_ = 0, zeroHalves_ = 0;
    double sumScale_ = 0, sumSkewUs_ = 0;
};

}  // namespace rx

#endif
