// SPDX-License-Identifier: MIT
// The simulated pins over runs longer than the calls they keep in memory: what sim::events()
// still gives, and recording files that get every call all the same, written as the run goes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TerunaCode.h"
#include "TerunaTx.h"
#include "child.h"
#include "recording.h"
#include "sim.h"
#include "vcd.h"
#include "wiringPi.h"

namespace {

using Changes = std::vector<std::pair<long long, int>>;  // time in ns, level

// The level changes a reader of dumps finds on `pin`'s wire, which starts at 0 (z).
Changes wireChanges(const std::string &vcd, int pin) {
    Changes changes;
    int last = 0;
    rx::VcdWire wire;
    const std::string why = rx::readVcdText(vcd, "pin" + std::to_string(pin), wire, [&](double us, int level) {
        if (level != last) {
            changes.emplace_back(std::llround(us * 1000), level);
            last = level;
        }
    });
    EXPECT_EQ(why, "") << "pin " << pin;
    return changes;
}

// The level changes that the logged writes on `pin` make.
Changes writtenChanges(const std::vector<sim::Event> &calls, int pin) {
    Changes changes;
    int level = 0;
    for (const sim::Event &call : calls) {
        const int next = call.second != LOW ? 1 : 0;
        if (call.call == sim::Call::digitalWrite && call.first == pin && next != level) {
            changes.emplace_back(call.timeNs, next);
            level = next;
        }
    }
    return changes;
}

const std::string kHeaderStart =
    "$version teruna simulated pins $end\n$timescale 1ns $end\n$scope module gpio $end\n$var wire 1 ! pin0 $end\n";

class LongRecording : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        setenv("TERUNA_SIM_CLOCK", "virtual", 1);
        setenv("TERUNA_SIM_LOG", log_.c_str(), 1);
        setenv("TERUNA_SIM_VCD", vcd_.c_str(), 1);
    }

    void TearDown() override {
        sim::reset();
        for (const char *variable : {"TERUNA_SIM_CLOCK", "TERUNA_SIM_LOG", "TERUNA_SIM_VCD"}) {
            unsetenv(variable);
        }
    }

    child::ScratchDir scratch_{"teruna-recording"};
    const std::string log_ = scratch_.path() + "/run.log";
    const std::string vcd_ = scratch_.path() + "/run.vcd";
};

using LongRecordingDeathTest = LongRecording;

TEST(KeptCalls, AreAllOfAShortRunAndTheLatestOfALongOne) {
    sim::reset();
    setenv("TERUNA_SIM_CLOCK", "virtual", 1);
    ASSERT_EQ(wiringPiSetup(), 0);
    delayMicroseconds(1);
    EXPECT_EQ(sim::events().size(), 2u);

    const auto last = static_cast<unsigned int>(sim::kCallsKept + 100);
    for (unsigned int us = 2; us <= last; ++us) {
        delayMicroseconds(us);
    }
    const std::vector<sim::Event> kept = sim::events();
    ASSERT_EQ(kept.size(), sim::kCallsKept);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        ASSERT_EQ(kept[i].first, static_cast<std::int64_t>(last - sim::kCallsKept + 1 + i)) << "kept call " << i;
    }
    sim::reset();
    unsetenv("TERUNA_SIM_CLOCK");
}

// Writes alone, never a priority given back, until the calls kept have been replaced more than
// once; then presses: the files get every call in order, none twice.
TEST_F(LongRecording, TheFilesGetEveryCallOfARunLongerThanTheCallsKept) {
    ASSERT_EQ(wiringPiSetup(), 0);
    pinMode(0, OUTPUT);
    const unsigned int writes = sim::kCallsKept * 3 / 2;
    for (unsigned int i = 0; i < writes; ++i) {
        digitalWrite(0, static_cast<int>(i % 2));
        delayMicroseconds(100 + i % 7);
    }
    constexpr int kPresses = 6;
    for (int button = 0; button < kPresses; ++button) {
        tx::TerunaTx(0).sendButton(6400, static_cast<unsigned char>(button));
    }
    sim::reset();

    const std::vector<sim::Event> logged = recording::parseLog(recording::readFile(log_));
    ASSERT_GT(logged.size(), 2u + 2 * writes);
    for (unsigned int i = 0; i < writes; ++i) {
        const sim::Event &write = logged[2 + 2 * i];
        const sim::Event &delay = logged[3 + 2 * i];
        ASSERT_TRUE(write.call == sim::Call::digitalWrite && write.second == static_cast<int>(i % 2)) << "write " << i;
        ASSERT_TRUE(delay.call == sim::Call::delayMicroseconds && delay.first == 100 + i % 7) << "delay " << i;
    }
    // Each press from its priority raised to its priority given back, and nothing after them.
    auto begin = logged.begin() + 2 + 2 * writes;
    for (int button = 0; button < kPresses; ++button) {
        const auto end = std::find_if(begin, logged.end(), [](const sim::Event &call) {
            return call.call == sim::Call::piHiPri && call.first == 0;
        });
        ASSERT_NE(end, logged.end()) << "press " << button;
        const recording::Transmission press = recording::decode(std::vector<sim::Event>(begin, end + 1), 0);
        EXPECT_TRUE(press.faults.empty()) << press.faults.front();
        ASSERT_EQ(press.frames.size(), 150u) << "press " << button;
        for (const recording::Frame &frame : press.frames) {
            ASSERT_EQ(frame.code, linecode::codeWord(6400, static_cast<unsigned char>(button))) << "press " << button;
        }
        begin = end + 1;
    }
    EXPECT_EQ(begin, logged.end());

    const std::string vcd = recording::readFile(vcd_);
    EXPECT_EQ(vcd.substr(0, kHeaderStart.size()), kHeaderStart);
    EXPECT_EQ(wireChanges(vcd, 0), writtenChanges(logged, 0));
}

// The header, already in the file, is written again with the new wire, and what followed it
// moves down intact; a file that held something before is given up all the same.
TEST_F(LongRecording, APinConfiguredAfterTheHeaderWasWrittenIsDeclaredInIt) {
    std::ofstream(vcd_) << "held before the run\n";
    ASSERT_EQ(wiringPiSetup(), 0);
    pinMode(0, OUTPUT);
    tx::TerunaTx(0).sendButton(6400, 1);
    pinMode(7, OUTPUT);
    tx::TerunaTx(7).sendButton(17, 2);
    sim::reset();

    const std::string vcd = recording::readFile(vcd_);
    const std::string header = kHeaderStart +
                               "$var wire 1 \" pin7 $end\n$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\nz!\n"
                               "z\"\n$end\n0!\n";
    EXPECT_EQ(vcd.substr(0, header.size()), header);
    const std::vector<sim::Event> logged = recording::parseLog(recording::readFile(log_));
    for (const int pin : {0, 7}) {
        const Changes changes = wireChanges(vcd, pin);
        EXPECT_GT(changes.size(), 150u * 2) << "pin " << pin;
        EXPECT_EQ(changes, writtenChanges(logged, pin)) << "pin " << pin;
    }
}

// The same when a signal ends the run with the new pin high: the handler declares it, drives it
// low, and both files end with that low.
TEST_F(LongRecordingDeathTest, ASignalEndsTheFilesWithAPinConfiguredLateDrivenLow) {
    EXPECT_EXIT(
        {
            wiringPiSetup();
            pinMode(0, OUTPUT);
            tx::TerunaTx(0).sendButton(6400, 1);
            pinMode(5, OUTPUT);
            digitalWrite(5, HIGH);
            raise(SIGTERM);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    const std::vector<sim::Event> logged = recording::parseLog(recording::readFile(log_));
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back().call, sim::Call::digitalWrite);
    EXPECT_EQ(logged.back().first, 5);
    EXPECT_EQ(logged.back().second, LOW);
    const std::string vcd = recording::readFile(vcd_);
    EXPECT_NE(vcd.find("$var wire 1 \" pin5 $end\n"), std::string::npos);
    EXPECT_EQ(wireChanges(vcd, 5), writtenChanges(logged, 5));
    EXPECT_EQ(wireChanges(vcd, 0), writtenChanges(logged, 0));
}

// A FIFO cannot have its header written again: the dump is given up with one line, what went
// out before stays whole, and the log goes on.
TEST_F(LongRecording, AFifoGivesUpTheDumpWhenAPinIsConfiguredAfterItsHeader) {
    const std::string fifo = scratch_.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("TERUNA_SIM_VCD", fifo.c_str(), 1);
    const int readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(readEnd, 0);
    ASSERT_EQ(wiringPiSetup(), 0);
    fcntl(readEnd, F_SETFL, 0);
    std::string heard;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t n = 0; (n = read(readEnd, buffer, sizeof buffer)) > 0;) {
            heard.append(buffer, static_cast<std::size_t>(n));
        }
    });
    pinMode(0, OUTPUT);
    piHiPri(0);
    pinMode(7, OUTPUT);
    ::testing::internal::CaptureStderr();
    piHiPri(0);
    digitalWrite(7, HIGH);
    sim::reset();
    const std::string said = ::testing::internal::GetCapturedStderr();
    reader.join();
    close(readEnd);

    EXPECT_EQ(said, std::string(program_invocation_short_name) + ": cannot write the recording " + fifo +
                        ": a pin was configured after its header went out, and only a regular file's header can be "
                        "written again\n");
    EXPECT_EQ(heard, kHeaderStart + "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\nz!\n$end\n0!\n");
    EXPECT_EQ(recording::readFile(log_), "0 wiringPiSetup 0\n0 pinMode 0 1\n0 piHiPri 0 0\n0 pinMode 7 1\n"
                                         "0 piHiPri 0 0\n0 digitalWrite 7 1\n");
}

}  // namespace
