// SPDX-License-Identifier: MIT
// The built teruna binary on the simulated pins: options, output, exit status, recordings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "child.h"
#include "recording.h"

namespace {

using child::Child;
using child::environmentWith;
using child::Outcome;

const std::string kUsage = "Arguments:\n"
                           "  -p <PIN>        - GPIO pin\n"
                           "  -g <REMOTE>     - Teruna remote id\n"
                           "  -n <BUTTON>     - Teruna button id\n";

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

class CommandLine : public ::testing::Test {
protected:
    // A run on the virtual clock that records both files.
    Outcome run(const std::vector<std::string> &args, const std::vector<std::string> &overrides = {}) {
        std::vector<std::string> env = {"TERUNA_SIM_CLOCK=virtual", "TERUNA_SIM_LOG=" + log_, "TERUNA_SIM_VCD=" + vcd_};
        env.insert(env.end(), overrides.begin(), overrides.end());
        return Child(args, environmentWith(env)).finish();
    }

    recording::Transmission sentOn(int pin) const {
        return recording::decode(recording::parseLog(recording::readFile(log_)), pin);
    }

    child::ScratchDir scratch_{"teruna-cli"};
    const std::string dir_ = scratch_.path();
    const std::string log_ = dir_ + "/press.log";
    const std::string vcd_ = dir_ + "/press.vcd";
};

void expectPress(const recording::Transmission &sent, unsigned int code) {
    EXPECT_TRUE(sent.faults.empty()) << sent.faults.front();
    ASSERT_EQ(sent.frames.size(), 150u);
    for (const recording::Frame &frame : sent.frames) {
        ASSERT_EQ(frame.code, code);
    }
    EXPECT_EQ(sent.levelAtEnd, 0);
}

TEST_F(CommandLine, WithoutArgumentsSendsRemote6400Button0OnPin0) {
    const Outcome outcome = run({});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "remote 6400 button 0\n");
    EXPECT_EQ(outcome.err, "");
    expectPress(sentOn(0), 6400u << 7);
    const std::string opening =
        "0 wiringPiSetup 0\n0 pinMode 0 1\n0 piHiPri 90 0\n0 digitalWrite 0 1\n0 delayMicroseconds 520\n"
        "520 digitalWrite 0 0\n520 delayMicroseconds 110\n630 digitalWrite 0 1\n";
    EXPECT_EQ(recording::readFile(log_).substr(0, opening.size()), opening);
}

TEST_F(CommandLine, HelpPrintsTheUsageAndEndsWithoutTouchingTheGpio) {
    const std::vector<std::vector<std::string>> cases = {
        {"-h"}, {"-p", "3", "-h"}, {"-g", "5", "-h", "-n", "2"}, {"-h", "-x"}};
    for (const auto &args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, kUsage);
        EXPECT_EQ(outcome.err, "");
        EXPECT_FALSE(exists(log_));
        EXPECT_FALSE(exists(vcd_));
    }
}

struct Conversion {
    std::vector<std::string> args;
    std::string summary;
    int pin;
    unsigned int code;
};

TEST_F(CommandLine, ValuesAreReadLikeAtoiClampedToIntAndNarrowedForTheTransmitter) {
    const std::vector<Conversion> cases = {
        {{"-n", "200"}, "remote 6400 button 200\n", 0, 6400u << 7 | 72},
        {{"-n", "-1"}, "remote 6400 button -1\n", 0, 6400u << 7 | 0x7F},
        {{"-g", "-1"}, "remote -1 button 0\n", 0, 0xFFFFu << 7},
        {{"-g", "70000"}, "remote 70000 button 0\n", 0, (70000u & 0xFFFF) << 7},
        {{"-g", "abc"}, "remote 0 button 0\n", 0, 0},
        {{"-g", " \t42xyz"}, "remote 42 button 0\n", 0, 42u << 7},
        {{"-g", "+7"}, "remote 7 button 0\n", 0, 7u << 7},
        {{"-g", "0x10"}, "remote 0 button 0\n", 0, 0},
        {{"-g", "99999999999"}, "remote 2147483647 button 0\n", 0, 0xFFFFu << 7},
        {{"-g", "-99999999999"}, "remote -2147483648 button 0\n", 0, 0},
        {{"-g", "999999999999999999999999"}, "remote 2147483647 button 0\n", 0, 0xFFFFu << 7},
        {{"-g", "1", "-g", "2"}, "remote 2 button 0\n", 0, 2u << 7},
        {{"-g12", "-n3"}, "remote 12 button 3\n", 0, 12u << 7 | 3},
        {{"-p", "7", "-n", "1"}, "remote 6400 button 1\n", 7, 6400u << 7 | 1},
        {{"-p", "031"}, "remote 6400 button 0\n", 31, 6400u << 7},
        {{"stray", "-n", "5", "words"}, "remote 6400 button 5\n", 0, 6400u << 7 | 5},
    };
    for (const Conversion &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Outcome outcome = run(c.args);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, c.summary);
        EXPECT_EQ(outcome.err, "");
        expectPress(sentOn(c.pin), c.code);
    }
}

TEST_F(CommandLine, MissingValuesAndUnknownOptionsAreReportedAndThePressGoesOut) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-p"}, "teruna: option requires an argument -- 'p'\n"},
        {{"-n", "5", "-g"}, "teruna: option requires an argument -- 'g'\n"},
        {{"-x"}, "teruna: invalid option -- 'x'\n"},
        {{"-x", "-n", "5"}, "teruna: invalid option -- 'x'\n"},
    };
    for (const auto &[args, diagnostic] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.err, diagnostic);
        const bool button5 = args.size() > 1;
        EXPECT_EQ(outcome.out, button5 ? "remote 6400 button 5\n" : "remote 6400 button 0\n");
        expectPress(sentOn(0), 6400u << 7 | (button5 ? 5 : 0));
    }
}

TEST_F(CommandLine, SetupFailureIsReportedWithItsReasonAndNothingIsSent) {
    const std::string missing = dir_ + "/no/such/dir/file";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"TERUNA_SIM_LOG=" + missing}, "wiringPiSetup failed: No such file or directory\n"},
        {{"TERUNA_SIM_VCD=" + missing}, "wiringPiSetup failed: No such file or directory\n"},
        {{"TERUNA_SIM_LOG=" + dir_}, "wiringPiSetup failed: Is a directory\n"},
        {{"TERUNA_SIM_CLOCK=fast"}, "wiringPiSetup failed: Invalid argument\n"},
    };
    for (const auto &[env, message] : cases) {
        SCOPED_TRACE(env.front());
        const Outcome outcome = run({"-n", "1"}, env);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, message);
        EXPECT_FALSE(exists(log_)) << "a half-made recording was left behind";
        EXPECT_FALSE(exists(vcd_)) << "a half-made recording was left behind";
    }
}

// The recordings keep what a user already had, stay out of standard output, and a recording
// that cannot be written whole is a failed run.
TEST_F(CommandLine, RecordingsKeepWhatExistedStayApartAndReportWhatFallsShort) {
    const std::string missing = dir_ + "/no/such/dir/file";
    const std::string kept = dir_ + "/kept.log";
    const std::string link = dir_ + "/link.log";
    std::ofstream(kept) << "mine\n";
    ASSERT_EQ(symlink(kept.c_str(), link.c_str()), 0);
    struct Case {
        std::vector<std::string> env;
        std::string outFile;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"TERUNA_SIM_LOG=" + kept, "TERUNA_SIM_VCD=" + missing},
         "",
         1,
         "wiringPiSetup failed: No such file or directory\n"},
        {{"TERUNA_SIM_LOG=" + link, "TERUNA_SIM_VCD=" + missing},
         "",
         1,
         "wiringPiSetup failed: No such file or directory\n"},
        {{"TERUNA_SIM_VCD=/dev/full"},
         "",
         1,
         "teruna: cannot write the recording /dev/full: No space left on device\n"},
        {{"TERUNA_SIM_VCD=" + log_},
         "",
         1,
         "teruna: TERUNA_SIM_LOG and TERUNA_SIM_VCD name one file, " + log_ +
             ": each needs its own\nwiringPiSetup failed: Invalid argument\n"},
        {{}, Child::kNoOutput, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.env) + c.outFile);
        std::vector<std::string> env = {"TERUNA_SIM_CLOCK=virtual", "TERUNA_SIM_LOG=" + log_, "TERUNA_SIM_VCD=" + vcd_};
        env.insert(env.end(), c.env.begin(), c.env.end());
        const Outcome outcome = Child({}, environmentWith(env), c.outFile).finish();
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(recording::readFile(kept), "mine\n");
        char target[4096] = {};
        EXPECT_EQ(readlink(link.c_str(), target, sizeof target - 1), static_cast<ssize_t>(kept.size()));
        if (c.status == 0) {
            EXPECT_EQ(recording::readFile(vcd_).rfind("$version teruna simulated pins $end\n", 0), 0u)
                << "something else was written into the recording";
            expectPress(sentOn(0), 6400u << 7);
        }
        std::remove(log_.c_str());
        std::remove(vcd_.c_str());
    }
}

TEST_F(CommandLine, PinsOffTheHeaderEndTheRunBeforeAnythingIsSent) {
    for (const std::string pin : {"99", "-1", "17", "20", "32", "2147483647"}) {
        SCOPED_TRACE(pin);
        const Outcome outcome = run({"-p", pin});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err,
                  "teruna: pin " + pin + " does not exist on this board (wiringPi pins are 0 to 16 and 21 to 31)\n");
        EXPECT_EQ(recording::readFile(log_), "0 wiringPiSetup 0\n0 pinMode " + pin + " 1\n");
        const std::string vcd = recording::readFile(vcd_);
        EXPECT_NE(vcd.find("$enddefinitions $end"), std::string::npos);
        EXPECT_EQ(vcd.find("$var"), std::string::npos);
    }
}

struct Hostile {
    std::string what;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
};

TEST_F(CommandLine, HostileCommandLinesEndWithADefinedStatusAndOutput) {
    const std::string usage = kUsage;
    const std::string longDigits(100000, '9');
    const std::string longText(100000, 'x');
    const std::string invalidX = "teruna: invalid option -- 'x'\n";
    std::string manyInvalid;
    for (int i = 0; i < 100000; ++i) {
        manyInvalid += invalidX;
    }
    const std::vector<Hostile> cases = {
        {"empty pin", {"-p", ""}, 0, "remote 6400 button 0\n", ""},
        {"empty remote", {"-g", ""}, 0, "remote 0 button 0\n", ""},
        {"sign only", {"-g", "-"}, 0, "remote 0 button 0\n", ""},
        {"plus only", {"-n", "+"}, 0, "remote 6400 button 0\n", ""},
        {"two signs", {"-g", "+-5"}, 0, "remote 0 button 0\n", ""},
        {"blank only", {"-g", "   "}, 0, "remote 0 button 0\n", ""},
        {"below int", {"-n", "-2147483649"}, 0, "remote 6400 button -2147483648\n", ""},
        {"2^32", {"-g", "4294967296"}, 0, "remote 2147483647 button 0\n", ""},
        {"pin at int's end",
         {"-p", "-2147483648"},
         1,
         "",
         "teruna: pin -2147483648 does not exist on this board (wiringPi pins are 0 to 16 and 21 to 31)\n"},
        {"100,000 digits", {"-g", longDigits}, 0, "remote 2147483647 button 0\n", ""},
        {"100,000 letters as a value", {"-n", longText}, 0, "remote 6400 button 0\n", ""},
        {"100,000-character operand", {longText}, 0, "remote 6400 button 0\n", ""},
        {"100,000 unknown option letters", {"-" + longText}, 0, "remote 6400 button 0\n", manyInvalid},
        {"non-ASCII value", {"-g", "\xff\xfe\x80"}, 0, "remote 0 button 0\n", ""},
        {"non-ASCII option",
         {"-\xc3\xa9"},
         0,
         "remote 6400 button 0\n",
         "teruna: invalid option -- '\xc3'\nteruna: invalid option -- '\xa9'\n"},
        {"repeated options", {"-n", "1", "-n", "2", "-n", "3", "-p", "4", "-p", "5"}, 0, "remote 6400 button 3\n", ""},
        {"unknown options", {"-x", "-x", "-x"}, 0, "remote 6400 button 0\n", invalidX + invalidX + invalidX},
        {"end of options", {"--", "-n", "5"}, 0, "remote 6400 button 0\n", ""},
        {"options then end", {"-n", "5", "--", "-n", "6"}, 0, "remote 6400 button 5\n", ""},
        {"lone dash", {"-", "-n", "2"}, 0, "remote 6400 button 2\n", ""},
        {"options after operands", {"a", "b", "-n", "7", "c"}, 0, "remote 6400 button 7\n", ""},
        {"long help", {"--help"}, 1, usage, "teruna: invalid option -- '-'\n"},
        {"option letters glued", {"-n3h"}, 0, "remote 6400 button 3\n", ""},
        {"help after a value", {"-n", "-h"}, 0, "remote 6400 button 0\n", ""},
    };
    for (const Hostile &c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = run(c.args);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_TRUE(outcome.err == c.err) << outcome.err.substr(0, 200);
        if (c.status == 0) {
            EXPECT_EQ(sentOn(0).frames.size() + sentOn(4).frames.size() + sentOn(5).frames.size(), 150u);
        }
    }
}

using Changes = std::vector<std::pair<long long, char>>;

// The level changes of wire `id` in a VCD file, as (time in ns, level) in file order.
Changes vcdChanges(const std::string &vcd, char id) {
    Changes changes;
    long long now = -1;
    std::size_t pos = vcd.find("$enddefinitions $end\n");
    if (pos == std::string::npos) {
        return changes;
    }
    std::istringstream lines(vcd.substr(pos));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() > 1 && line[0] == '#') {
            const long long next = std::stoll(line.substr(1));
            EXPECT_GT(next, now) << "time goes backwards or repeats";
            now = next;
        } else if (line.size() == 2 && line[1] == id) {
            changes.emplace_back(now, line[0]);
        }
    }
    return changes;
}

TEST_F(CommandLine, TheVcdHoldsOneWirePerPinWithEveryLevelChangeOfThePress) {
    ASSERT_EQ(run({"-p", "5"}).status, 0);
    const std::string vcd = recording::readFile(vcd_);
    EXPECT_NE(vcd.find("$timescale 1ns $end\n"), std::string::npos);
    EXPECT_NE(vcd.find("$var wire 1 ! pin5 $end\n"), std::string::npos);

    // The wire's story: undriven at set-up, low once an output, then the press.
    const auto changes = vcdChanges(vcd, '!');
    ASSERT_GT(changes.size(), 2u);
    EXPECT_EQ(changes[0], std::make_pair(0LL, 'z'));
    EXPECT_EQ(changes[1], std::make_pair(0LL, '0'));
    EXPECT_EQ(changes.back().second, '0');

    // Every level the log's writes give, change for change and at the same times.
    Changes fromLog;
    char level = '0';
    for (const sim::Event &event : recording::parseLog(recording::readFile(log_))) {
        const char next = event.second != 0 ? '1' : '0';
        if (event.call == sim::Call::digitalWrite && next != level) {
            fromLog.emplace_back(event.timeNs, next);
            level = next;
        }
    }
    EXPECT_EQ(Changes(changes.begin() + 2, changes.end()), fromLog);
    EXPECT_NE(vcd.rfind("\n#873000000\n"), std::string::npos) << "the dump ends when the press does";
}

// A recording to a FIFO whose reader never reads: given up a second after the press with
// one line, and a signal sent meanwhile still ends the run.
TEST_F(CommandLine, ARecordingNobodyReadsIsGivenUpAfterASecond) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const int signo : {0, SIGTERM}) {
        SCOPED_TRACE(signo);
        Child child({}, environmentWith({"TERUNA_SIM_CLOCK=virtual", "TERUNA_SIM_LOG=" + fifo}));
        if (signo != 0) {
            usleep(300 * 1000);
            kill(child.pid(), signo);
        }
        EXPECT_TRUE(child.endsWithin(3000)) << "the writing went on for more than 3 s";
        const Outcome outcome = child.finish();
        EXPECT_EQ(outcome.status, signo == 0 ? 1 : 128 + signo);
        EXPECT_EQ(outcome.err,
                  "teruna: cannot write the recording " + fifo + ": its reader did not take it within a second\n");
    }
    close(reader);
}

// Real clock from here on: these runs take about as long as a press, each spinning a core at
// real-time priority, so they run alone (see tests/CMakeLists.txt).
class RealClockCommandLine : public CommandLine {};

std::vector<std::string> realClock(const std::string &log) { return environmentWith({"TERUNA_SIM_LOG=" + log}); }

// Every class of signal, sent 100 ms into the press: the press goes out whole and the pin
// ends low; then those that end a run end it, and those that stop one stop it.
TEST_F(RealClockCommandLine, SignalsDuringThePressWaitUntilThePinIsLowThenTakeEffect) {
    for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGPROF, SIGVTALRM, SIGIO,
                            SIGPWR, SIGXCPU, SIGRTMIN + 3, SIGTSTP, SIGTTIN, SIGTTOU}) {
        SCOPED_TRACE(strsignal(signo));
        const bool stops = signo == SIGTSTP || signo == SIGTTIN || signo == SIGTTOU;
        // Timed from before the start: this process may see the summary line late while the press
        // keeps a core busy.
        const auto pressStarted = std::chrono::steady_clock::now();
        Child child({}, environmentWith({"TERUNA_SIM_LOG=" + log_, "TERUNA_SIM_VCD=" + vcd_}));
        ASSERT_EQ(child.firstLine(), "remote 6400 button 0\n");
        child.waitUntilRealTime();
        usleep(100 * 1000);
        kill(child.pid(), signo);
        if (stops) {
            ASSERT_TRUE(child.waitUntilStopped());
            EXPECT_GE(std::chrono::steady_clock::now() - pressStarted, std::chrono::milliseconds(873));
            kill(child.pid(), SIGCONT);
        }
        EXPECT_EQ(child.finish().status, stops ? 0 : 128 + signo);

        const recording::Transmission sent = sentOn(0);
        expectPress(sent, 6400u << 7);
        EXPECT_EQ(sent.prioritiesAfter, std::vector<int>{0});
        const std::string vcd = recording::readFile(vcd_);
        ASSERT_FALSE(vcdChanges(vcd, '!').empty());
        EXPECT_EQ(vcdChanges(vcd, '!').back().second, '0');
        const std::size_t lastLine = vcd.rfind('\n', vcd.size() - 2);
        EXPECT_EQ(vcd[lastLine + 1], '#') << "the dump does not end with its closing time";
    }
}

// A fault, or the same signal sent, ends the run at once (abort's SIGABRT, which can be held,
// waits for the press's end) with the status it always gave; the pin is driven low first, and
// the recordings, an existing file's included, end with that low.
TEST_F(RealClockCommandLine, FaultSignalsLowerThePinAndEndTheRecordingsBeforeTheRunDies) {
    for (const int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
        SCOPED_TRACE(strsignal(signo));
        std::ofstream(vcd_) << "mine\n";
        Child child({}, environmentWith({"TERUNA_SIM_LOG=" + log_, "TERUNA_SIM_VCD=" + vcd_}));
        ASSERT_EQ(child.firstLine(), "remote 6400 button 0\n");
        child.waitUntilRealTime();
        usleep(100 * 1000);
        kill(child.pid(), signo);
        EXPECT_EQ(child.finish().status, 128 + signo);

        const std::vector<sim::Event> events = recording::parseLog(recording::readFile(log_));
        const auto lastWrite = std::find_if(events.rbegin(), events.rend(),
                                            [](const sim::Event &e) { return e.call == sim::Call::digitalWrite; });
        ASSERT_NE(lastWrite, events.rend());
        EXPECT_EQ(lastWrite->second, 0);
        const std::size_t frames = recording::decode(events, 0).frames.size();
        EXPECT_EQ(frames == 150, signo == SIGABRT) << frames << " frames went out";
        const std::string vcd = recording::readFile(vcd_);
        ASSERT_FALSE(vcdChanges(vcd, '!').empty()) << vcd;
        EXPECT_EQ(vcdChanges(vcd, '!').back().second, '0');
    }
}

// What standard output does to the press: a closed pipe or the file size limit does not cost
// it (the run ends by the signal afterwards); a full pipe holds the run before the press,
// where a signal ends it at once with the pin never driven high.
TEST_F(RealClockCommandLine, AClosedOrFullOutputNeverCostsThePressAndNeverHoldsOffASignal) {
    {
        SCOPED_TRACE("standard output a pipe whose reader has gone");
        EXPECT_EQ(Child({}, realClock(log_), Child::kClosedPipe).finish().status, 128 + SIGPIPE);
        expectPress(sentOn(0), 6400u << 7);
    }
    {
        SCOPED_TRACE("standard output a file, and no file may grow");
        const auto start = std::chrono::steady_clock::now();
        Child child({}, environmentWith({}), dir_ + "/out.txt", TERUNA_BINARY, "teruna", 0);
        EXPECT_EQ(child.finish().status, 128 + SIGXFSZ);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(873)) << "the press went out";
    }
    for (const int signo : {SIGINT, SIGTERM, SIGTSTP}) {
        SCOPED_TRACE(std::string("standard output a full pipe, then ") + strsignal(signo));
        Child child({}, realClock(log_), Child::kFullPipe);
        usleep(300 * 1000);
        EXPECT_TRUE(child.running()) << "the run did not wait for its output";
        kill(child.pid(), signo);
        if (signo == SIGTSTP) {
            EXPECT_TRUE(child.waitUntilStopped()) << "a stop must act before the press";
            kill(child.pid(), SIGKILL);
            child.finish();
            continue;
        }
        for (int tries = 0; tries < 300 && child.running(); ++tries) {
            usleep(10 * 1000);
        }
        if (child.running()) {
            ADD_FAILURE() << "the signal was held off for more than 3 s";
            kill(child.pid(), SIGKILL);
        }
        EXPECT_EQ(child.finish().status, 128 + signo);
        const std::string log = recording::readFile(log_);
        EXPECT_NE(log.find(" pinMode 0 1"), std::string::npos) << log;
        EXPECT_EQ(log.find(" digitalWrite 0 1"), std::string::npos) << "the pin was driven high";
    }
}

// Real-time priority refused, and standard error a full pipe: the warning waits, and the run
// with it, before the press; a signal still ends the run at once, with the pin never driven.
TEST_F(RealClockCommandLine, ARefusalWarningThatCannotBeWrittenNeverHoldsOffASignal) {
    Child child({}, realClock(log_), "", TERUNA_BINARY, "teruna", -1, Child::kFullPipe, true);
    usleep(500 * 1000);
    kill(child.pid(), SIGTERM);
    EXPECT_TRUE(child.endsWithin(1000)) << "the signal was held off for more than 1 s";
    EXPECT_EQ(child.finish().status, 128 + SIGTERM);
    const std::string log = recording::readFile(log_);
    EXPECT_NE(log.find(" pinMode 0 1"), std::string::npos) << log;
    EXPECT_EQ(log.find(" digitalWrite 0 1"), std::string::npos) << "the pin was driven high";
}

TEST_F(RealClockCommandLine, TheSummaryLineReachesAPipeOrAFileBeforeThePressStarts) {
    {
        Child child({"-n", "4"}, realClock(log_));
        EXPECT_EQ(child.firstLine(), "remote 6400 button 4\n");
        EXPECT_TRUE(child.running()) << "the line only arrived when the press was over";
        EXPECT_EQ(child.finish().status, 0);
    }
    const std::string outFile = dir_ + "/out.txt";
    Child child({"-n", "4"}, realClock(log_), outFile);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (recording::readFile(outFile).empty() && std::chrono::steady_clock::now() < deadline) {
        usleep(1000);
    }
    EXPECT_EQ(recording::readFile(outFile), "remote 6400 button 4\n");
    EXPECT_TRUE(child.running()) << "the line only arrived when the press was over";
    EXPECT_EQ(child.finish().status, 0);
}

TEST_F(RealClockCommandLine, APressTakesAboutItsNominal873Ms) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = Child({}, realClock(log_)).finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_GE(seconds, 0.873);
    EXPECT_LT(seconds, 3.0);

    const recording::Transmission sent = sentOn(0);
    expectPress(sent, 6400u << 7);
    EXPECT_GE(sent.lastWriteUs - sent.firstWriteUs, 873000.0);
    EXPECT_LT(sent.lastWriteUs - sent.firstWriteUs, 873000.0 * 2);

    const Outcome unrecorded = Child({}, environmentWith({})).finish();
    EXPECT_EQ(unrecorded.status, 0);
    EXPECT_EQ(unrecorded.err, "teruna: simulated pins: nothing is transmitted\n") << "a PC build says what it is";
}

}  // namespace
