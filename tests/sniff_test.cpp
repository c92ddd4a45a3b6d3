// SPDX-License-Identifier: MIT
// The VCD reader on good and malformed files; teruna-sniff's command line.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Recording.h"
#include "TerunaRx.h"
#include "child.h"
#include "command-line.h"
#include "fail.h"
#include "line.h"
#include "recording.h"
#include "sim.h"
#include "vcd.h"

namespace {

using Levels = std::vector<std::pair<double, int>>;

std::string readLevels(std::string_view text, const std::string &channel, rx::VcdWire &wire, Levels &levels) {
    levels.clear();
    return rx::readVcdText(text, channel, wire, [&](double timeUs, int level) { levels.emplace_back(timeUs, level); });
}

TEST(VcdReader, ReadsTheDialectsOfTheSimulatedPinsSigrokAndOtherWriters) {
    struct Case {
        const char *what;
        std::string text;
        std::string channel;
        std::string name;
        Levels levels;
        double endUs;
    };
    const std::vector<Case> cases = {
        {"simulated pins",
         "$timescale 1ns $end $scope module gpio $end $var wire 1 ! pin0 $end $upscope $end\n"
         "$enddefinitions $end\n#0\n$dumpvars\nz!\n$end\n0!\n1!\n#520000\n0!\n#630000\n",
         "",
         "pin0",
         {{0, 0}, {0, 0}, {0, 1}, {520, 0}},
         630},
        {"sigrok, a named channel among vectors",
         "$date today $end\n$version libsigrok $end\n$comment\n Acquisition $end\n$timescale 1 us $end\n"
         "$scope module libsigrok $end\n$var wire 8 \" bus $end\n$var wire 1 ! D0 $end\n"
         "$var wire 1 # D1 $end\n$upscope $end\n$enddefinitions $end\n#0 0! 1# b101 \"\n#10 1! #25 0#\n",
         "D1",
         "D1",
         {{0, 1}, {25, 0}},
         25},
        {"a byte-order mark; events and reals are passed over; a register's vector form",
         "\xEF\xBB\xBF$timescale 10 us $end $var event 1 e trigger $end $var real 1 r level $end\n"
         "$var reg 1 q data $end $enddefinitions $end #0 1e r0.5 r b0 q #3 b1 q #4 1q\n",
         "",
         "data",
         {{0, 0}, {30, 1}, {40, 1}},
         40},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        rx::VcdWire wire;
        Levels levels;
        EXPECT_EQ(readLevels(c.text, c.channel, wire, levels), "");
        EXPECT_EQ(wire.name, c.name);
        EXPECT_EQ(levels, c.levels);
        EXPECT_DOUBLE_EQ(wire.endUs, c.endUs);
    }
    rx::VcdWire wire;
    Levels levels;
    EXPECT_EQ(readLevels("$timescale 1us $end $var event 1 ! e $end $enddefinitions $end", "", wire, levels),
              "no 1-bit wire");
    EXPECT_EQ(readLevels("$timescale 1us $end $var wire 1 ! " + std::string(5000, 'x') + " $end", "", wire, levels),
              "a word longer than 4096 bytes: not a value change dump");
}

TEST(VcdReader, RefusesEveryMalformedFileOfTheCorpusWithAReason) {
    DIR *corpus = opendir(TERUNA_VCD_CORPUS);
    ASSERT_NE(corpus, nullptr);
    int files = 0;
    while (const dirent *entry = readdir(corpus)) {
        const std::string name = entry->d_name;
        if (name.rfind("bad-", 0) != 0 && name.rfind("good-", 0) != 0) {
            continue;
        }
        ++files;
        rx::VcdWire wire;
        Levels levels;
        const std::string trouble = readLevels(recording::readFile(TERUNA_VCD_CORPUS "/" + name), "", wire, levels);
        EXPECT_EQ(trouble.empty(), name.rfind("good-", 0) == 0) << name << ": " << trouble;
    }
    closedir(corpus);
    EXPECT_GE(files, 15);
}

class SniffCommandLine : public ::testing::Test {
protected:
    static child::Outcome sniff(const std::vector<std::string> &args) {
        return child::Child(args, child::environmentWith({}), "", TERUNA_SNIFF_BINARY, "teruna-sniff").finish();
    }

    void record(const std::vector<std::string> &args, bool virtualClock) {
        std::vector<std::string> env = {"TERUNA_SIM_VCD=" + vcd_};
        if (virtualClock) {
            env.emplace_back("TERUNA_SIM_CLOCK=virtual");
        }
        ASSERT_EQ(child::Child(args, child::environmentWith(env)).finish().status, 0);
    }

    // Starts teruna-sniff with `args`, reading standard input from a pipe; returns the pipe's
    // writing end.
    static std::unique_ptr<child::Child> sniffFromPipe(const std::vector<std::string> &args, int &writeFd) {
        int pipeFds[2];
        EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);  // the child must not hold the writing end
        const int savedIn = dup(STDIN_FILENO);
        dup2(pipeFds[0], STDIN_FILENO);
        close(pipeFds[0]);
        auto sniffing =
            std::make_unique<child::Child>(args, child::environmentWith({}), "", TERUNA_SNIFF_BINARY, "teruna-sniff");
        dup2(savedIn, STDIN_FILENO);
        close(savedIn);
        writeFd = pipeFds[1];
        return sniffing;
    }

    static void writeAll(int fd, const std::string &text) {
        for (std::size_t at = 0; at < text.size();) {
            const ssize_t n = write(fd, text.data() + at, text.size() - at);
            if (n <= 0) {
                break;
            }
            at += static_cast<std::size_t>(n);
        }
    }

    child::ScratchDir scratch_{"teruna-sniff"};
    const std::string dir_ = scratch_.path();
    const std::string vcd_ = dir_ + "/press.vcd";
};

TEST_F(SniffCommandLine, PrintsTheIdsOfARecordedPressForTeruna) {
    record({"-g", "4242", "-n", "9"}, true);
    const child::Outcome outcome = sniff({"-f", vcd_});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "remote 4242 button 9\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(sniff({"-v", "-f", vcd_, "-c", "pin0"}).out,
              "remote 4242 button 9  frames 150  start 520 us  one 300 us  zero 110 us  scale 1.00  skew +0 us\n");
}

// Where the recording comes from and what becomes of the lines: every way gives the same
// press, or one line saying what failed and status 2.
TEST_F(SniffCommandLine, ReadsFilesStandardInputAndFifosAndWritesTextOrJson) {
    record({"-g", "4242", "-n", "9"}, true);
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string text = "remote 4242 button 9\n";
    struct Case {
        std::vector<std::string> args;
        std::string outFile;
        int status;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"-f", "-"}, "", 0, text, ""},
        {{"-f", fifo}, "", 0, text, ""},
        {{"-F", "json", "-f", vcd_},
         "",
         0,
         "{\"remote\":4242,\"button\":9,\"frames\":150,\"start_us\":520.0,\"one_us\":300.0,\"zero_us\":110.0,"
         "\"scale\":1.000,\"skew_us\":0.0,\"time_s\":0.000000}\n",
         ""},
        {{"-v", "-F", "text", "-f", vcd_},
         "",
         0,
         "remote 4242 button 9  frames 150  start 520 us  one 300 us  zero 110 us  scale 1.00  skew +0 us\n",
         "teruna-sniff: widths of high runs: 110 us x2550, 300 us x450, 520 us x150\n"
         "teruna-sniff: widths of low runs: 0 us x151, 110 us x2550, 300 us x450\n"},
        {{"-f", dir_}, "", 2, "", "teruna-sniff: cannot read '" + dir_ + "': Is a directory\n"},
        {{"-f", vcd_}, "/dev/full", 2, "", "teruna-sniff: cannot write to standard output: No space left on device\n"},
        {{"-F", "xml", "-f", vcd_},
         "",
         2,
         "",
         "teruna-sniff: -F takes text or json, not 'xml'\ntry 'teruna-sniff -h'\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        // Standard input is the recording, as `teruna-sniff -f - < press.vcd` has it.
        const int savedIn = dup(STDIN_FILENO);
        const int in = open(vcd_.c_str(), O_RDONLY);
        dup2(in, STDIN_FILENO);
        close(in);
        child::Child sniffing(c.args, child::environmentWith({}), c.outFile, TERUNA_SNIFF_BINARY, "teruna-sniff");
        dup2(savedIn, STDIN_FILENO);
        close(savedIn);
        if (c.args[1] == fifo) {
            std::ofstream(fifo) << recording::readFile(vcd_);
        }
        const child::Outcome outcome = sniffing.finish();
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, c.err);
    }
}

// A recording far larger than the reader may hold, streamed through a pipe: 100 presses,
// each followed by a long comment, about 40 MB in all. It takes no more memory than one
// press alone (compared, so that a sanitizer's or an emulator's own memory does not count).
TEST_F(SniffCommandLine, StreamsALongRecordingInLittleMemory) {
    record({"-g", "4242", "-n", "9"}, true);
    const std::string press = recording::readFile(vcd_);
    const std::size_t bodyAt = press.find("$enddefinitions $end") + 20;
    std::vector<std::string> body;
    std::istringstream lines(press.substr(bodyAt));
    for (std::string line; std::getline(lines, line);) {
        body.push_back(line);
    }
    const auto stream = [&](int presses, std::size_t commentBytes) {
        int writeFd = -1;
        const std::unique_ptr<child::Child> sniffing = sniffFromPipe({"-f", "-"}, writeFd);
        std::thread writer([&] {
            std::string comment = "$comment";
            while (comment.size() < commentBytes) {
                comment += " a long comment";
            }
            comment += " $end\n";
            std::string text = press.substr(0, bodyAt) + "\n";
            for (long long i = 0; i < presses; ++i) {
                for (const std::string &line : body) {
                    text += !line.empty() && line[0] == '#'
                                ? "#" + std::to_string(std::stoll(line.substr(1)) + i * 1'000'000'000LL)
                                : line;
                    text += '\n';
                }
                text += comment;
                writeAll(writeFd, text);
                text.clear();
            }
            close(writeFd);
        });
        const child::Outcome outcome = sniffing->finish();
        writer.join();
        EXPECT_EQ(outcome.status, 0);
        std::string expected;
        for (int i = 0; i < presses; ++i) {
            expected += "remote 4242 button 9\n";
        }
        EXPECT_EQ(outcome.out, expected);
        return outcome.maxRssKb;
    };
    const long onePressKb = stream(1, 0);
    const long longKb = stream(100, 300000);
    EXPECT_LT(longKb - onePressKb, 8 * 1024) << "kB more than for one press, which took " << onePressKb << " kB";
}

// A stream that is cut short, or goes bad, after a press: the press is printed all the same,
// then what is wrong.
TEST_F(SniffCommandLine, PrintsWhatWasDecodedBeforeAStreamEndsOrGoesBad) {
    record({"-g", "4242", "-n", "9"}, true);
    const std::string press = recording::readFile(vcd_);
    struct Case {
        std::string after;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"", 0, ""},
        {"@@x\n", 2, "teruna-sniff: cannot read standard input: unexpected '@@x'\n"},
        {"#", 2, "teruna-sniff: cannot read standard input: unreadable time '#'\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.after);
        int writeFd = -1;
        const std::unique_ptr<child::Child> sniffing = sniffFromPipe({"-f", "-"}, writeFd);
        writeAll(writeFd, press + c.after);
        close(writeFd);
        const child::Outcome outcome = sniffing->finish();
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out, "remote 4242 button 9\n");
        EXPECT_EQ(outcome.err, c.err);
    }
}

// A stream that only a signal ends (a logic analyser's continuous capture): the recording's
// own time releases a press once it has passed its end, and SIGINT, SIGTERM or SIGHUP end the
// reading with what was decoded, as they end listening.
TEST_F(SniffCommandLine, AStreamReleasesPressesByItsOwnTimeAndEndsOnASignal) {
    record({"-g", "4242", "-n", "9"}, true);
    const std::string press = recording::readFile(vcd_);
    rx::VcdWire wire;
    Levels levels;
    ASSERT_EQ(readLevels(press, "", wire, levels), "");
    const std::string later = "#" + std::to_string(static_cast<long long>(wire.endUs * 1000) + 300'000'000) + "\n";
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signo);
        int writeFd = -1;
        const std::unique_ptr<child::Child> sniffing = sniffFromPipe({"-f", "-"}, writeFd);
        if (signo == SIGINT) {
            writeAll(writeFd, press + later);
            EXPECT_EQ(sniffing->firstLine(), "remote 4242 button 9\n");
        } else {
            writeAll(writeFd, press);
            std::this_thread::sleep_for(std::chrono::seconds(1));  // read, and waiting for more
        }
        EXPECT_TRUE(sniffing->running());
        kill(sniffing->pid(), signo);
        const child::Outcome outcome = sniffing->finish();
        close(writeFd);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, "remote 4242 button 9\n");
        EXPECT_EQ(outcome.err, "");
    }
}

// Widths that were not measured are said to be so: a code word without a one or without a
// zero has no such width in JSON, and a run wider than the summary's steps counts in its last.
TEST_F(SniffCommandLine, SaysSoWhereAWidthWasNotMeasured) {
    struct Case {
        std::vector<std::string> press;
        std::string json;
    };
    const std::vector<Case> cases = {
        {{"-g", "0", "-n", "0"}, "\"one_us\":null,\"zero_us\":110.0,"},
        {{"-g", "65535", "-n", "127"}, "\"one_us\":300.0,\"zero_us\":null,"},
    };
    for (const Case &c : cases) {
        record(c.press, true);
        const child::Outcome outcome = sniff({"-F", "json", "-f", vcd_});
        EXPECT_NE(outcome.out.find(c.json), std::string::npos) << outcome.out;
    }
    std::ofstream(vcd_) << "$timescale 100 s $end $var wire 1 ! d $end $enddefinitions $end #0 1! "
                           "#999999999999999999 0!\n";
    const child::Outcome wide = sniff({"-v", "-f", vcd_});
    EXPECT_EQ(wide.status, 1);
    EXPECT_EQ(wide.err,
              "teruna-sniff: widths of high runs: >=10000 us x1\nteruna-sniff: widths of low runs: 0 us x1\n");
}

class RealClockSniffCommandLine : public SniffCommandLine {};

// On the real clock the sender can be held up (under an emulator, for many milliseconds): a
// silence longer than 10 ms inside the recording rightly splits the press, into as many presses
// as it has pieces long enough to be one (a piece of a frame or two after a hold-up is not). So
// may a stretch of frames that a machine waking its sleeps milliseconds late has spoilt; nothing
// may make a press of another remote or button, or lose the press.
TEST_F(RealClockSniffCommandLine, DecodesARecording) {
    record({"-g", "777", "-n", "5"}, false);
    const child::Outcome outcome = sniff({"-f", vcd_});
    EXPECT_EQ(outcome.status, 0);
    rx::VcdWire wire;
    Levels levels;
    ASSERT_EQ(readLevels(recording::readFile(vcd_), "", wire, levels), "");
    std::size_t splits = 0;
    for (std::size_t i = 2; i + 1 < levels.size(); ++i) {
        splits += levels[i + 1].first - levels[i].first > 10000 ? 1u : 0u;
    }
    std::istringstream lines(outcome.out);
    std::size_t presses = 0;
    for (std::string line; std::getline(lines, line); ++presses) {
        EXPECT_EQ(line, "remote 777 button 5");
    }
    EXPECT_GE(presses, 1u);
    EXPECT_LE(presses, splits + 1) << outcome.out;
}

TEST_F(SniffCommandLine, ExitStatusesFollowGrep) {
    std::ofstream(vcd_) << "$timescale 1us $end $var wire 1 ! d $end $enddefinitions $end #0 0! #100 1! #5000 0!\n";
    const child::Outcome none = sniff({"-f", vcd_});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "");

    const child::Outcome help = sniff({"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: teruna-sniff -f FILE", 0), 0u);

    const std::string missing = dir_ + "/missing.vcd";
    EXPECT_EQ(sniff({"-f", missing}).err, "teruna-sniff: cannot read '" + missing + "': No such file or directory\n");
    EXPECT_EQ(sniff({"-f", vcd_, "-c", "pin7"}).err,
              "teruna-sniff: cannot read '" + vcd_ + "': no 1-bit wire named 'pin7'\n");
    const std::vector<std::vector<std::string>> wrong = {{},
                                                         {"-f", vcd_, "-p", "2"},
                                                         {"-p", "x"},
                                                         {"-p", "2", "-t", "0"},
                                                         {"-p", "2", "-c", "d"},
                                                         {"-f"},
                                                         {"-q"},
                                                         {"-f", vcd_, "extra"},
                                                         {"-f", missing},
                                                         {"-p", "2"},
                                                         {"-p", "99"}};
    for (const auto &args : wrong) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const child::Outcome outcome = sniff(args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.rfind("teruna-sniff: ", 0), std::string::npos);
    }
    if (std::string(TERUNA_SNIFF_LIVE) == "live-cdev.cpp") {
        EXPECT_EQ(sniff({"-p", "2"}).err, "teruna-sniff: cannot open the header's GPIO chip: No such device\n");
    }
}

// The one reader of whole numbers behind both programs' options and the gateway's
// configuration: strtol's reading, decimal only, all of the text, both bounds taken.
TEST(CommandLine, ReadsAWholeNumberOnlyWhenAllOfItIsOneInRange) {
    const std::string longest = std::to_string(LONG_MAX);
    const struct {
        std::string text;
        long low;
        long high;
        std::optional<long> read;
    } rows[] = {
        {"17", 0, 127, 17},
        {"0", 0, 127, 0},
        {"127", 0, 127, 127},
        {"128", 0, 127, std::nullopt},
        {"-1", 0, 127, std::nullopt},
        {"-1000000", -1000000, 1000000, -1000000},
        {"+5", 0, 127, 5},
        {" 5", 0, 127, 5},
        {"5 ", 0, 127, std::nullopt},
        {"", 0, 127, std::nullopt},
        {"-", 0, 127, std::nullopt},
        {"0x10", 0, 127, std::nullopt},
        {"010", 0, 127, 10},
        {longest, 0, LONG_MAX, LONG_MAX},
        {longest + "0", 0, LONG_MAX, std::nullopt},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(common::wholeNumber(row.text.c_str(), row.low, row.high), row.read);
    }
}

TEST(CommandLine, NamesEveryChoiceWhenAValueIsNoneOfThem) {
    EXPECT_EQ(common::choiceOrDie('m', "c", {"a", "b", "c"}), 2);
    EXPECT_EXIT(common::choiceOrDie('m', "d", {"a", "b", "c"}), ::testing::ExitedWithCode(common::kTrouble),
                "-m takes a, b or c, not 'd'; try '");
    EXPECT_EXIT(common::choiceOrDie('m', "", {"a"}), ::testing::ExitedWithCode(common::kTrouble), "-m takes a, not ''");
}

// The gateway's threads complain at once: each complaint stays one whole line.
TEST(Complaints, FromThreadsAtOnceStayWholeLines) {
    char path[] = "/tmp/teruna-complaints-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    std::fflush(stderr);
    const int savedStderr = dup(2);
    dup2(file, 2);
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([thread] {
            for (int complaint = 0; complaint < 200; ++complaint) {
                common::complain("thread %d: %s", thread, std::string(100, static_cast<char>('a' + thread)).c_str());
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    dup2(savedStderr, 2);
    close(savedStderr);
    std::string said(200000, '\0');
    said.resize(static_cast<std::size_t>(pread(file, said.data(), said.size(), 0)));
    close(file);
    std::istringstream lines(said);
    std::string line;
    int whole = 0;
    while (std::getline(lines, line)) {
        const char mark = line.empty() ? '?' : line.back();
        EXPECT_EQ(line, std::string(program_invocation_short_name) + ": thread " + std::to_string(mark - 'a') + ": " +
                            std::string(100, mark));
        ++whole;
    }
    EXPECT_EQ(whole, 800);
}

// Every usage error is one complaint and the way to the help, status 2; a value at either end
// of its range is taken, which the next check shows by being the one that complains.
TEST_F(SniffCommandLine, SaysWhatIsWrongWithTheCommandLine) {
    const struct {
        std::vector<std::string> args;
        std::string said;
    } rows[] = {
        {{}, "give either -f FILE or -p PIN"},
        {{"-f", "x", "-p", "2"}, "give either -f FILE or -p PIN"},
        {{"-f"}, "option -f needs a value"},
        {{"-f", "x", "-q"}, "unknown option -q"},
        {{"-f", "x", "extra"}, "unexpected argument 'extra'"},
        {{"-f", "x", std::string(100000, 'a')}, "unexpected argument '" + std::string(100000, 'a') + "'"},
        {{"-f", ""}, "-f takes a path, not ''"},
        {{"-p", "x"}, "-p takes a pin number, not 'x'"},
        {{"-p", "2x"}, "-p takes a pin number, not '2x'"},
        {{"-p", "1000001"}, "-p takes a pin number, not '1000001'"},
        {{"-p", "-1000000", "-c", "d"}, "-c goes with -f"},
        {{"-p", "1000000", "-c", "d"}, "-c goes with -f"},
        {{"-p", "2", "-t", "0"}, "-t takes a number of seconds, not '0'"},
        {{"-p", "2", "-t", "nan"}, "-t takes a number of seconds, not 'nan'"},
        {{"-p", "2", "-t", "10000001"}, "-t takes a number of seconds, not '10000001'"},
        {{"-p", "2", "-t", "5s"}, "-t takes a number of seconds, not '5s'"},
        {{"-f", "x", "-t", "1e7"}, "-t goes with -p"},
        {{"-f", "x", "-t", "0.001"}, "-t goes with -p"},
        {{"-f", "x", "-F", "JSON"}, "-F takes text or json, not 'JSON'"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        const child::Outcome outcome = sniff(row.args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "teruna-sniff: " + row.said + "\ntry 'teruna-sniff -h'\n");
    }
}

}  // namespace

namespace {

// Dumps that follow one another in one stream, as a FIFO's writers may leave them with no end
// of file between: each is read whole and on its own, on its own clock, however the reads cut
// the stream; the press of each is reported while its dump is the one last fed.
TEST_F(SniffCommandLine, ReadsDumpsThatFollowOneAnotherEachOnItsOwn) {
    record({"-g", "4242", "-n", "9"}, true);
    const std::string first = recording::readFile(vcd_);
    record({"-g", "0", "-n", "0"}, true);
    const std::string second = recording::readFile(vcd_);
    rx::VcdWire wire;
    Levels levels;
    ASSERT_EQ(readLevels(first, "", wire, levels), "");
    const double firstEndUs = wire.endUs;
    ASSERT_EQ(readLevels(second, "", wire, levels), "");
    const double secondEndUs = wire.endUs;

    struct Case {
        std::string text;
        rx::NoDump noDump;
        std::string trouble;
        std::vector<double> fedUs;  // the dump time last fed as each press is reported
    };
    const std::vector<Case> cases = {
        {first + second, rx::NoDump::isTrouble, "", {firstEndUs, secondEndUs}},
        {first + "\n$comment another $end\n" + second + first,
         rx::NoDump::isFine,
         "",
         {firstEndUs, secondEndUs, firstEndUs}},
        {first + "@@x\n" + second, rx::NoDump::isTrouble, "unexpected '@@x'", {firstEndUs}},
        {first + second.substr(0, second.find("$enddefinitions")),
         rx::NoDump::isTrouble,
         "no $enddefinitions: not a value change dump, or cut short",
         {firstEndUs}},
        {" \n", rx::NoDump::isFine, "", {}},
        {"", rx::NoDump::isTrouble, "no $enddefinitions: not a value change dump, or cut short", {}},
    };
    for (const Case &c : cases) {
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{4093}, c.text.size() + 1}) {
            SCOPED_TRACE(::testing::Message() << c.text.size() << " bytes in reads of " << chunk);
            std::size_t at = 0;
            const rx::VcdSource source = [&](char *buffer, std::size_t size) {
                const std::size_t n = std::min({size, chunk, c.text.size() - at});
                std::memcpy(buffer, c.text.data() + at, n);
                at += n;
                return static_cast<long>(n);
            };
            std::vector<rx::Press> presses;
            std::vector<double> fedUs;
            rx::TerunaRx receiver([&](const rx::Press &press) {
                presses.push_back(press);
                fedUs.push_back(wire.endUs);
            });
            EXPECT_EQ(rx::feedRecording(source, "", receiver, wire, c.noDump), c.trouble);
            EXPECT_EQ(fedUs, c.fedUs);
            for (std::size_t i = 0; i < presses.size(); ++i) {
                EXPECT_EQ(presses[i].remoteId, c.fedUs[i] == firstEndUs ? 4242u : 0u);
                EXPECT_EQ(presses[i].frames, 150u);
                EXPECT_EQ(presses[i].timeUs, 0);
            }
        }
    }
    std::ofstream(vcd_) << first << second;
    const child::Outcome both = sniff({"-F", "json", "-f", vcd_});
    EXPECT_EQ(both.err, "");
    EXPECT_EQ(both.out.substr(0, both.out.find(',')), "{\"remote\":4242");
    EXPECT_EQ(both.out.substr(both.out.find('\n') + 1, 12), "{\"remote\":0,");
    EXPECT_EQ(std::count(both.out.begin(), both.out.end(), '\n'), 2);
}

}  // namespace
