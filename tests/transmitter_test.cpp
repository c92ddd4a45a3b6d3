// SPDX-License-Identifier: MIT
// The transmitter on the simulated pins' virtual clock, read back symbol by symbol.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>
#include <string>

#include "TerunaTx.h"
#include "recording.h"
#include "sim.h"

namespace {

using recording::Symbol;
using recording::Transmission;

class Transmitter : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        sim::refusePriority(false);
        setenv("TERUNA_SIM_CLOCK", "virtual", 1);
        unsetenv("TERUNA_SIM_LOG");
        unsetenv("TERUNA_SIM_VCD");
        ASSERT_EQ(wiringPiSetup(), 0);
    }

    void TearDown() override { sim::reset(); }

    static Transmission press(unsigned short remoteId, unsigned char buttonId, int pin = 0) {
        pinMode(pin, OUTPUT);
        tx::TerunaTx transmitter(pin);
        transmitter.sendButton(remoteId, buttonId);
        return recording::decode(sim::events(), pin);
    }

    static Transmission command(unsigned int word, unsigned char bitCount) {
        pinMode(0, OUTPUT);
        tx::TerunaTx transmitter(0);
        transmitter.sendCommand(word, bitCount);
        return recording::decode(sim::events(), 0);
    }
};

void expectEveryFrame(const Transmission &sent, unsigned int code, int bits) {
    EXPECT_TRUE(sent.faults.empty()) << sent.faults.front();
    ASSERT_EQ(sent.frames.size(), 150u);
    for (const recording::Frame &frame : sent.frames) {
        ASSERT_EQ(frame.code, code);
        ASSERT_EQ(frame.bits, bits);
    }
    EXPECT_TRUE(sent.endsWithLowWrite);
    EXPECT_EQ(sent.levelAtEnd, 0);
}

TEST_F(Transmitter, DefaultPressSendsItsCodeWordIn150FramesOfExactSymbols) {
    const Transmission sent = press(6400, 0);
    expectEveryFrame(sent, 0x0C8000, 23);

    // 0x0C8000 has three one-bits and twenty zero-bits.
    EXPECT_EQ(sent.widthsUs.at(Symbol::start), std::vector<double>(150, 520.0));
    EXPECT_EQ(sent.widthsUs.at(Symbol::one), std::vector<double>(150 * 3, 300.0));
    EXPECT_EQ(sent.widthsUs.at(Symbol::zero), std::vector<double>(150 * 20 * 2, 110.0));
    EXPECT_DOUBLE_EQ(sent.lastWriteUs - sent.firstWriteUs, 150 * (520 + 3 * 300 + 20 * 220));
}

TEST_F(Transmitter, FramesThatEndHighRunIntoTheNextStartWithoutARisingEdge) {
    const Transmission sent = press(6400, 0);
    ASSERT_EQ(sent.frames.size(), 150u);
    EXPECT_TRUE(sent.frames.front().startRose);
    for (std::size_t i = 0; i < sent.frames.size(); ++i) {
        EXPECT_EQ(sent.frames[i].endLevel, 1) << "frame " << i;
        if (i > 0) {
            EXPECT_FALSE(sent.frames[i].startRose) << "frame " << i;
        }
    }
}

TEST_F(Transmitter, FramesThatEndLowBeginEveryStartWithARisingEdge) {
    const Transmission sent = press(0, 0);
    expectEveryFrame(sent, 0, 23);
    EXPECT_EQ(sent.widthsUs.count(Symbol::one), 0u);
    for (const recording::Frame &frame : sent.frames) {
        EXPECT_TRUE(frame.startRose);
        EXPECT_EQ(frame.endLevel, 0);
    }
}

TEST_F(Transmitter, AllOnesChangeLevelEvery300UsAndTheFinalWriteLeavesThePinLow) {
    const Transmission sent = press(0xFFFF, 127);
    expectEveryFrame(sent, 0x7FFFFF, 23);
    EXPECT_EQ(sent.widthsUs.count(Symbol::zero), 0u);
    EXPECT_EQ(sent.widthsUs.at(Symbol::one), std::vector<double>(150 * 23, 300.0));
    EXPECT_EQ(sent.frames.back().endLevel, 1);
}

struct CodeWordCase {
    unsigned short remoteId;
    unsigned char buttonId;
    unsigned int code;
};

class CodeWord : public Transmitter, public ::testing::WithParamInterface<CodeWordCase> {};

TEST_P(CodeWord, RemoteIdThenTheButtonsLowSevenBitsMostSignificantFirst) {
    const CodeWordCase &c = GetParam();
    expectEveryFrame(press(c.remoteId, c.buttonId), c.code, 23);
}

INSTANTIATE_TEST_SUITE_P(Layout, CodeWord,
                         ::testing::Values(CodeWordCase{0x8000, 0, 0x400000},  // first bit sent is the remote's top
                                           CodeWordCase{0x0001, 0, 0x000080}, CodeWordCase{0, 1, 0x000001},
                                           CodeWordCase{0, 64, 0x000040},
                                           CodeWordCase{6400, 72, 0x0C8048},  // 200 and 72 share their low 7 bits
                                           CodeWordCase{6400, 200, 0x0C8048}, CodeWordCase{6400, 128, 0x0C8000},
                                           CodeWordCase{0xFFFF, 0, 0x7FFF80}, CodeWordCase{0x1234, 0x55, 0x091A55}),
                         [](const ::testing::TestParamInfo<CodeWordCase> &word) {
                             return "remote" + std::to_string(word.param.remoteId) + "button" +
                                    std::to_string(word.param.buttonId);
                         });

TEST_F(Transmitter, PriorityIsRaisedBeforeTheFirstLevelAndDroppedAfterTheLast) {
    const Transmission sent = press(6400, 0);
    EXPECT_EQ(sent.prioritiesBefore, std::vector<int>{90});
    EXPECT_EQ(sent.prioritiesAfter, std::vector<int>{0});
}

TEST_F(Transmitter, RefusedPrioritySendsTheSameFrames) {
    const Transmission granted = press(6400, 3);
    sim::reset();
    sim::refusePriority(true);
    ASSERT_EQ(wiringPiSetup(), 0);
    ::testing::internal::CaptureStderr();
    const Transmission refused = press(6400, 3);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(": real-time priority refused (Operation not permitted): the press goes out with ordinary "
                        "scheduling, its timing less exact; 'sudo setcap cap_sys_nice+ep /"),
              std::string::npos)
        << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;

    expectEveryFrame(refused, 0x0C8003, 23);
    EXPECT_EQ(refused.widthsUs, granted.widthsUs);
    EXPECT_EQ(refused.prioritiesBefore, std::vector<int>{90});
    EXPECT_EQ(refused.prioritiesAfter, std::vector<int>{0});
}

TEST_F(Transmitter, SendsOnlyOnItsOwnPin) {
    const Transmission sent = press(6400, 0, 7);
    expectEveryFrame(sent, 0x0C8000, 23);
    for (const sim::Event &event : sim::events()) {
        if (event.call == sim::Call::digitalWrite || event.call == sim::Call::pinMode) {
            ASSERT_EQ(event.first, 7);
        }
    }
}

TEST_F(Transmitter, EverySendIsAWholeTransmissionOfItsOwn) {
    pinMode(0, OUTPUT);
    tx::TerunaTx transmitter(0);
    transmitter.sendButton(0xFFFF, 127);  // leaves the coder's level high
    sim::reset();
    ASSERT_EQ(wiringPiSetup(), 0);
    pinMode(0, OUTPUT);
    transmitter.sendButton(6400, 0);
    const Transmission second = recording::decode(sim::events(), 0);
    expectEveryFrame(second, 0x0C8000, 23);
    EXPECT_TRUE(second.frames.front().startRose);
}

TEST_F(Transmitter, CommandWidthsFromOneToThirtyTwoBits) {
    expectEveryFrame(command(0b10, 1), 0, 1);
    sim::reset();
    ASSERT_EQ(wiringPiSetup(), 0);
    expectEveryFrame(command(0b11, 1), 1, 1);
    sim::reset();
    ASSERT_EQ(wiringPiSetup(), 0);
    expectEveryFrame(command(0x80000001u, 32), 0x80000001u, 32);
}

TEST_F(Transmitter, CommandWidthsOutsideOneToThirtyTwoSendNothing) {
    for (const int bitCount : {0, 33, 255}) {
        sim::reset();
        ASSERT_EQ(wiringPiSetup(), 0);
        tx::TerunaTx transmitter(0);
        transmitter.sendCommand(0xFFFFFFFFu, static_cast<unsigned char>(bitCount));
        EXPECT_EQ(sim::events().size(), 1u) << "bit count " << bitCount;
    }
}

}  // namespace
