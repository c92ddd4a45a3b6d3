// SPDX-License-Identifier: MIT
// The receiver: presses from the transmitter on the simulated pins, distorted the way cheap
// receiver modules distort them, decoded back to their ids; noise, broken frames and other
// transmitters decoded to nothing; its stages, each alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "FrameReader.h"
#include "PressGatherer.h"
#include "TerunaCode.h"
#include "TerunaRx.h"
#include "TimeBase.h"
#include "line.h"

namespace {

using LineRun = line::Run;
using LineRuns = line::Runs;
using line::append;
using line::decode;
using line::glitch;
using line::jitter;
using line::noise;
using line::press;
using line::received;
using line::scale;
using line::silence;
using line::transmission;

std::vector<std::pair<unsigned int, unsigned int>> ids(const std::vector<rx::Press> &presses) {
    std::vector<std::pair<unsigned int, unsigned int>> result;
    for (const rx::Press &p : presses) {
        result.emplace_back(p.remoteId, p.buttonId);
    }
    return result;
}

using Ids = std::vector<std::pair<unsigned int, unsigned int>>;

TEST(Receiver, DecodesExactPressesWithEveryFrameAndTheNominalWidths) {
    for (const auto &[remoteId, buttonId] : Ids{{6400, 0}, {0, 0}, {0xFFFF, 127}, {0x8001, 64}}) {
        SCOPED_TRACE(remoteId);
        const auto presses = decode(press(static_cast<unsigned short>(remoteId), static_cast<unsigned char>(buttonId)));
        ASSERT_EQ(ids(presses), (Ids{{remoteId, buttonId}}));
        EXPECT_EQ(presses[0].frames, 150u);
        EXPECT_DOUBLE_EQ(presses[0].startUs, 520);
        if (remoteId != 0) {
            EXPECT_DOUBLE_EQ(presses[0].oneUs, 300);
        }
        if (remoteId != 0xFFFF) {
            EXPECT_DOUBLE_EQ(presses[0].zeroUs, 110);
        }
    }
}

TEST(Receiver, RoundTripsRandomIdsThroughJitterGlitchesAndNoise) {
    std::mt19937 random(433);
    for (int i = 0; i < 60; ++i) {
        const auto remoteId = static_cast<unsigned short>(random());
        const auto buttonId = static_cast<unsigned char>(random() & 0x7F);
        SCOPED_TRACE(std::to_string(remoteId) + " " + std::to_string(buttonId));
        LineRuns sent = press(remoteId, buttonId);
        jitter(sent, random, 0.2);
        glitch(sent, random, 40);
        LineRuns line = noise(random, 30000);
        append(line, sent);
        append(line, noise(random, 30000));
        const auto presses = decode(line);
        ASSERT_EQ(ids(presses), (Ids{{remoteId, buttonId}}));
        EXPECT_GT(presses[0].frames, 100u) << presses[0].frames;
    }
}

TEST(Receiver, ToleratesEveryWidthOffByUpToAQuarter) {
    std::mt19937 random(315);
    for (const double factor : {0.77, 1.23}) {
        LineRuns sent = press(6400, 3);
        scale(sent, factor);
        EXPECT_EQ(ids(decode(sent)), (Ids{{6400, 3}})) << factor;
    }
    LineRuns sent = press(4321, 21);
    jitter(sent, random, 0.24);
    EXPECT_EQ(ids(decode(sent)), (Ids{{4321, 21}}));
}

// Every corner of what receivers deliver, and its middle: each press, between noise, must
// come out exactly once with its own ids. The share decoded per corner is printed.
TEST(Receiver, DecodesEveryPressAcrossTheGridOfClockSkewJitterAndGlitches) {
    struct Corner {
        double scale, skewUs, jitter, glitches;
    };
    struct Grid {
        double scale, skewUs, jitter;
    };
    std::vector<Corner> corners = {{1, 0, 0.05, 0.02}};
    // What receivers commonly deliver, and the edges of what the receiver learns.
    for (const Grid grid : {Grid{0.15, 60, 0.1}, Grid{0.2, 80, 0.15}}) {
        for (const double scaleFactor : {1 - grid.scale, 1 + grid.scale}) {
            for (const double skewUs : {-grid.skewUs, grid.skewUs}) {
                for (const double jitterShare : {0.0, grid.jitter}) {
                    for (const double glitchShare : {0.0, 0.03}) {
                        corners.push_back({scaleFactor, skewUs, jitterShare, glitchShare});
                    }
                }
            }
        }
    }
    std::mt19937 random(8);
    constexpr int kPresses = 12;
    for (const Corner &corner : corners) {
        int decoded = 0;
        unsigned int frames = 0;
        for (int i = 0; i < kPresses; ++i) {
            const auto remoteId = static_cast<unsigned short>(random());
            const auto buttonId = static_cast<unsigned char>(random() & 0x7F);
            LineRuns line = noise(random, 30000);
            append(line, received(press(remoteId, buttonId), corner.scale, corner.skewUs, corner.jitter,
                                  corner.glitches, random));
            append(line, noise(random, 30000));
            const auto presses = decode(line);
            if (ids(presses) == Ids{{remoteId, buttonId}}) {
                ++decoded;
                frames += presses[0].frames;
            }
        }
        std::printf("scale %.2f  skew %+3.0f us  jitter %2.0f %%  glitches %.0f %%: %d of %d presses decoded, "
                    "%u frames of 150 on average\n",
                    corner.scale, corner.skewUs, corner.jitter * 100, corner.glitches * 100, decoded, kPresses,
                    decoded > 0 ? frames / static_cast<unsigned int>(decoded) : 0);
        EXPECT_EQ(decoded, kPresses) << corner.scale << " " << corner.skewUs << " " << corner.jitter << " "
                                     << corner.glitches;
    }
}

TEST(Receiver, ReportsEachPressOnceAndStartsANewOneOnSilenceOrANewCodeWord) {
    LineRuns line = press(100, 1);
    append(line, silence(20000));
    append(line, press(100, 1));
    append(line, press(200, 2));
    append(line, silence(5000));
    append(line, press(200, 2));
    const auto presses = decode(line);
    EXPECT_EQ(ids(presses), (Ids{{100, 1}, {100, 1}, {200, 2}}));
    ASSERT_EQ(presses.size(), 3u);
    EXPECT_EQ(presses[2].frames, 300u) << "a short pause is not the end of a press";
}

// The runs of one frame of `code` alone, the last one cut where the next frame would begin.
LineRuns firstFrame(unsigned int code) {
    double leftUs = linecode::kStartUs;
    for (int bit = 0; bit < linecode::kCodeBits; ++bit) {
        leftUs += (code >> bit & 1) != 0 ? linecode::kOneUs : 2 * linecode::kZeroHalfUs;
    }
    LineRuns frame;
    for (LineRun run : transmission(code, linecode::kCodeBits)) {
        run.widthUs = std::min(run.widthUs, leftUs);
        frame.push_back(run);
        if ((leftUs -= run.widthUs) <= 0) {
            break;
        }
    }
    return frame;
}

TEST(Receiver, APressEndsWhenFramesStopAlsoWhenNoiseFillsTheSilence) {
    std::mt19937 random(7);
    LineRuns line = press(300, 3);
    double firstEndsUs = 0;
    for (const LineRun &run : line) {
        firstEndsUs += run.widthUs;
    }
    append(line, noise(random, 300000));
    append(line, press(300, 3));
    append(line, noise(random, 300000));
    std::vector<unsigned int> whenReported;
    rx::TerunaRx receiver([&](const rx::Press &p) { whenReported.push_back(p.frames); });
    double timeUs = 0;
    for (const LineRun &run : line) {
        receiver.level(timeUs, run.level);
        timeUs += run.widthUs;
        if (timeUs > firstEndsUs + 300000 && timeUs < firstEndsUs * 2) {
            EXPECT_EQ(whenReported.size(), 1u) << "the first press is reported before the second begins";
        }
    }
    receiver.end(timeUs);
    ASSERT_EQ(whenReported.size(), 2u);
    EXPECT_EQ(whenReported[0], 150u);
    EXPECT_GE(whenReported[1], 148u) << "noise right before a press may cost its first frames";
}

TEST(Receiver, OneFrameReadWrongDoesNotSplitAPress) {
    LineRuns line = press(6400, 0);
    append(line, firstFrame(6400u << 7 | 1));
    append(line, press(6400, 0));
    const auto presses = decode(line);
    EXPECT_EQ(ids(presses), (Ids{{6400, 0}}));
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].frames, 300u);
}

// The kernel drops the two edges of the last zero's pulse in every frame. Read as one run,
// that zero's hold, its pulse and the next start look like a one joined to a start, and
// every frame would give the wrong button; told of the loss, the decoder reads nothing.
TEST(Receiver, EdgesLostBreakTheFrameInsteadOfJoiningItsRuns) {
    const LineRuns sent = press(6400, 6);  // five ones: every frame ends high, on a zero
    for (const bool told : {true, false}) {
        std::vector<rx::Press> presses;
        rx::TerunaRx receiver([&](const rx::Press &p) { presses.push_back(p); });
        double timeUs = 0;
        bool lost = false;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const bool pulseBeforeStart = i + 1 < sent.size() && sent[i].level == 0 &&
                                          sent[i].widthUs == linecode::kZeroHalfUs &&
                                          sent[i + 1].widthUs == linecode::kStartUs;
            if (pulseBeforeStart || (lost && sent[i].level == 1)) {
                lost = true;  // the edges into and out of this pulse never arrive
            } else if (lost && told) {
                receiver.edgesLost(timeUs, sent[i].level);
                lost = false;
            } else {
                receiver.level(timeUs, sent[i].level);
                lost = false;
            }
            timeUs += sent[i].widthUs;
        }
        receiver.end(timeUs);
        if (told) {
            EXPECT_TRUE(presses.empty());
        } else {
            EXPECT_EQ(ids(presses), (Ids{{6400, 7}})) << "the hazard this guards against";
        }
    }
}

TEST(Receiver, FindsNothingInNoiseBrokenFramesOrASingleFrame) {
    std::mt19937 random(2);
    EXPECT_TRUE(decode(noise(random, 10e6)).empty()) << "noise alone";

    for (const double factor : {0.5, 2.0}) {
        LineRuns sent = press(6400, 3);
        scale(sent, factor);
        EXPECT_TRUE(decode(sent).empty()) << "every width " << factor << " times its own";
    }
    EXPECT_TRUE(decode(transmission(6400u << 7 >> 1, 22)).empty()) << "a symbol missing from every frame";
    EXPECT_TRUE(decode(transmission(6400u << 7 << 1, 24)).empty()) << "a symbol too many in every frame";

    const LineRuns frame = firstFrame(6400u << 7 | 3);
    LineRuns single = frame;
    append(single, silence(20000));
    EXPECT_TRUE(decode(single).empty()) << "a single frame";
    append(single, frame);
    append(single, silence(20000));
    EXPECT_TRUE(decode(single).empty()) << "two frames, not back to back";
}

// Other transmitters a receiver hears, each message sent several times as they do, with the
// unit `unitUs` of their timing: pulse-distance codes (infrared-style), Manchester-coded
// sensors and fixed-width PWM remotes.
LineRuns decoy(int kind, double unitUs, std::mt19937 &random) {
    LineRuns message;
    const auto put = [&](int level, double units) { append(message, {{level, units * unitUs}}); };
    const unsigned long long bits = static_cast<unsigned long long>(random()) << 32 | random();
    if (kind == 0) {
        put(1, 16);
        put(0, 8);
        for (int bit = 0; bit < 32; ++bit) {
            put(1, 1);
            put(0, (bits >> bit & 1) != 0 ? 3 : 1);
        }
        put(1, 1);
    } else if (kind == 1) {
        for (int bit = 0; bit < 12; ++bit) {
            put(1, 1);
            put(0, 1);
        }
        for (int bit = 0; bit < 64; ++bit) {
            const int level = static_cast<int>(bits >> bit & 1);
            put(level, 1);
            put(1 - level, 1);
        }
    } else {
        const double longUnits = kind == 2 ? 3 : 2;
        for (int bit = 0; bit < 24; ++bit) {
            const bool one = (bits >> bit & 1) != 0;
            put(1, one ? longUnits : 1);
            put(0, one ? 1 : longUnits);
        }
        put(1, 1);
        put(0, 31);
    }
    LineRuns line = silence(5000);
    for (int repeat = 0; repeat < 8; ++repeat) {
        append(line, message);
        append(line, silence(kind == 2 || kind == 3 ? 0 : 40 * unitUs));
    }
    return line;
}

TEST(Receiver, FindsNothingInOtherRemotesAndSensorsOrFramesThatAllDiffer) {
    std::mt19937 random(1527);
    const char *const kinds[] = {"pulse distance", "Manchester", "PWM 1:3", "PWM 1:2"};
    for (int kind = 0; kind < 4; ++kind) {
        for (double unitUs = 60; unitUs <= 700; unitUs += 20) {
            for (const double skewUs : {-40.0, 0.0, 40.0}) {
                const auto presses = decode(received(decoy(kind, unitUs, random), 1, skewUs, 0.05, 0, random));
                EXPECT_TRUE(presses.empty()) << kinds[kind] << ", unit " << unitUs << " us, skew " << skewUs;
            }
        }
    }
    LineRuns differing;
    for (int frame = 0; frame < 150; ++frame) {
        append(differing, firstFrame(static_cast<unsigned int>(frame) * 0x9E37u & 0x7FFFFF));
    }
    append(differing, silence(20000));
    EXPECT_TRUE(decode(differing).empty()) << "150 frames back to back, no two alike";
    EXPECT_TRUE(decode(received(differing, 0.9, 40, 0.1, 0.01, random)).empty()) << "the same, as received";
}

}  // namespace

namespace {

// The time base from a window of runs alone: a press's first 128 runs as a receiver delivers
// them, at the middle and the edges of what is learnt; nothing learnt from an empty window.
TEST(TimeBaseLearner, FindsTheScaleAndSkewOfAPressFromItsRuns) {
    struct Case {
        double scale, skewUs, jitter;
    };
    for (const Case c : {Case{1, 0, 0}, Case{0.8, -80, 0}, Case{1.2, 80, 0.1}, Case{0.9, 40, 0.15}}) {
        SCOPED_TRACE(::testing::Message() << c.scale << " " << c.skewUs << " " << c.jitter);
        std::mt19937 random(5);
        const line::Runs runs = line::received(line::press(6400, 3), c.scale, c.skewUs, c.jitter, 0, random);
        rx::TimeBaseLearner learner;
        for (std::size_t i = 0; i < rx::TerunaRx::Window::kRuns; ++i) {
            learner.add(runs[i].level, runs[i].widthUs);
        }
        learner.learn(true);
        EXPECT_NEAR(learner.timeBase().scale, c.scale, 0.04);
        EXPECT_NEAR(learner.timeBase().skewUs, c.skewUs, 8);
        const rx::TimeBase learnt = learner.timeBase();
        learner.clear();
        learner.learn(true);
        EXPECT_EQ(learner.timeBase().scale, learnt.scale);
        EXPECT_EQ(learner.timeBase().skewUs, learnt.skewUs);
    }
}

// Frames out of a press's runs under its time base, whether each frame ends low (the next
// start stands alone) or high (the next start is joined to the last symbol).
TEST(FrameReader, ReadsEveryFrameWithItsStartAloneOrJoined) {
    struct Case {
        unsigned int code;
        double scale, skewUs;
    };
    const std::vector<Case> cases = {{linecode::codeWord(6400, 3), 1, 0},
                                     {linecode::codeWord(6400, 6), 1, 0},
                                     {linecode::codeWord(0, 0), 0.85, -60},
                                     {linecode::codeWord(65535, 127), 1.15, 60},
                                     {linecode::codeWord(4321, 21), 0.8, 80}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        std::mt19937 random(6);
        const line::Runs runs =
            line::received(line::transmission(c.code, linecode::kCodeBits), c.scale, c.skewUs, 0, 0, random);
        rx::FrameReader reader;
        unsigned int frames = 0, joined = 0;
        double endUs = 0;
        for (const line::Run &run : runs) {
            endUs += run.widthUs;
            if (const std::optional<rx::Frame> frame =
                    reader.read({run.level, run.widthUs, endUs}, {c.scale, c.skewUs})) {
                EXPECT_EQ(frame->code, c.code);
                joined += frame->followsFrame ? 1u : 0u;
                ++frames;
            }
        }
        EXPECT_EQ(frames, linecode::kFrames);
        EXPECT_EQ(joined, linecode::kFrames - 1u);
    }
}

// Presses out of frames: a press is two frames back to back, one frame read wrong does not
// end it, three of another code word in a row do; a frame alone is nothing.
TEST(PressGatherer, MakesPressesOfFramesBackToBack) {
    struct Case {
        const char *frames;  // a letter per code word; '.' breaks the frames apart
        std::vector<std::pair<unsigned int, unsigned int>> presses;  // code word, frames
    };
    const std::vector<Case> cases = {
        {"AA", {{'A', 2}}},    {"A", {}},
        {"A.A", {}},           {"AAABAA", {{'A', 5}}},
        {"AABB", {{'A', 2}}},  {"AABBB", {{'A', 2}, {'B', 3}}},
        {"AA.AA", {{'A', 4}}}, {"AB.BA", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        std::vector<std::pair<unsigned int, unsigned int>> presses;
        rx::PressGatherer gatherer([&](const rx::Press &press) {
            presses.emplace_back(press.remoteId << linecode::kRemoteShift | press.buttonId, press.frames);
        });
        double atUs = 0;
        bool follows = false;
        for (const char *letter = c.frames; *letter != '\0'; ++letter) {
            if (*letter == '.') {
                follows = false;
                continue;
            }
            const auto code = static_cast<unsigned int>(*letter);
            gatherer.add({code, atUs, atUs + 6000, follows, 520, 0, 0, 0, 0, {}});
            atUs += 6000;
            follows = true;
        }
        gatherer.end();
        EXPECT_EQ(presses, c.presses);
    }
}

}  // namespace

namespace {

// A press ends with its own last frame: a frame of another code word, read wrong or beginning
// the next press, is not its.
TEST(PressGatherer, TimesAPressFromItsFirstFrameToItsOwnLast) {
    struct Case {
        const char *frames;
        std::vector<std::pair<double, double>> times;  // began, ended
    };
    const std::vector<Case> cases = {
        {"AA", {{0, 12000}}},
        {"AAAB", {{0, 18000}}},
        {"AABBB", {{0, 12000}, {12000, 30000}}},
        {"AABAA", {{0, 30000}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.frames);
        std::vector<std::pair<double, double>> times;
        rx::PressGatherer gatherer([&](const rx::Press &press) { times.emplace_back(press.timeUs, press.endUs); });
        double atUs = 0;
        for (const char *letter = c.frames; *letter != '\0'; ++letter) {
            gatherer.add({static_cast<unsigned int>(*letter), atUs, atUs + 6000, atUs > 0, 520, 0, 0, 0, 0, {}});
            atUs += 6000;
        }
        gatherer.end();
        EXPECT_EQ(times, c.times);
    }
}

// The line code's width of one frame of `code`.
double frameUs(unsigned int code) {
    double us = linecode::kStartUs;
    for (int bit = 0; bit < linecode::kCodeBits; ++bit) {
        us += (code >> bit & 1) != 0 ? linecode::kOneUs : 2 * linecode::kZeroHalfUs;
    }
    return us;
}

// Once an input has ended, the receiver reads the next, whose clock begins again, as a new one
// reads it, though the first taught it a time base at the other edge of what it learns.
TEST(Receiver, EndsAnInputAndReadsTheNextAsIfNew) {
    std::mt19937 random(12);
    const LineRuns first = received(press(6400, 3), 1.2, 80, 0, 0, random);
    const LineRuns second = received(press(100, 1), 0.8, -80, 0, 0, random);
    std::vector<rx::Press> presses;
    rx::TerunaRx receiver([&](const rx::Press &p) { presses.push_back(p); });
    for (const LineRuns *runs : {&first, &second}) {
        double endUs = 0;
        for (const auto &[timeUs, level] : line::levels(*runs, endUs)) {
            receiver.level(timeUs, level);
        }
        receiver.end(endUs);
    }
    const std::vector<rx::Press> fresh = decode(second);
    ASSERT_EQ(ids(presses), (Ids{{6400, 3}, {100, 1}}));
    ASSERT_EQ(fresh.size(), 1u);
    const rx::Press &again = presses[1];
    EXPECT_EQ(again.frames, fresh[0].frames);
    EXPECT_EQ(again.timeUs, fresh[0].timeUs);
    EXPECT_EQ(again.endUs, fresh[0].endUs);
    EXPECT_EQ(again.startUs, fresh[0].startUs);
    EXPECT_EQ(again.scale, fresh[0].scale);
    EXPECT_EQ(again.skewUs, fresh[0].skewUs);
    const rx::Press exact = decode(press(6400, 3)).at(0);
    EXPECT_DOUBLE_EQ(exact.endUs - exact.timeUs, linecode::kFrames * frameUs(linecode::codeWord(6400, 3)));
}

}  // namespace
