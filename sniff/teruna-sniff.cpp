// SPDX-License-Identifier: MIT
// teruna-sniff: finds the presses of Teruna remotes in a recording or on a GPIO input and
// prints the ids that teruna sends again.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "PressJson.h"
#include "Recording.h"
#include "RunWidths.h"
#include "TerunaRx.h"
#include "clocks.h"
#include "command-line.h"
#include "fail.h"
#include "fd.h"
#include "live.h"
#include "vcd.h"

namespace {

constexpr int kFound = 0;
constexpr int kNoneFound = 1;
constexpr double kLongestListenS = 1e7;

struct Settings {
    const char *file = nullptr;
    std::string channel;
    int pin = -1;
    double seconds = 0;
    bool json = false;
    bool verbose = false;
};

constexpr const char *kHelp =
    "usage: teruna-sniff -f FILE [-c CHANNEL] [-F FORMAT] [-v]\n"
    "       teruna-sniff -p PIN [-t SECONDS] [-F FORMAT] [-v]\n"
    "Finds the presses of Teruna remotes and prints one line per press, 'remote R button B';\n"
    "'teruna -g R -n B' sends that press again.\n"
    "  -f FILE     read a Value Change Dump (simulated pins, PulseView, sigrok-cli -O vcd);\n"
    "              - reads standard input\n"
    "  -c CHANNEL  the 1-bit wire to read (default: the first one)\n"
    "  -p PIN      listen on this GPIO input, in wiringPi numbering, until interrupted\n"
    "  -t SECONDS  stop listening after this long\n"
    "  -F FORMAT   text (the default), or json: one JSON object per press and line\n"
    "  -v          also print the frames seen, the measured widths and the timing learnt,\n"
    "              and at the end the most common widths of the line's runs\n"
    "  -h          print this text\n"
    "Exit status: 0 when a press was found, 1 when none, 2 for bad usage or an unreadable input.\n";

void outOfMemory() { common::fail(common::kTrouble, "out of memory"); }

// The settings; a wrong command line ends the run, and so does -h, once the help is printed.
Settings parse(int argc, char *argv[]) {
    Settings settings;
    common::placeHelpHint(common::HelpHint::ownLine);
    int option = 0;
    while ((option = common::nextOption(argc, argv, "f:c:p:t:F:vh")) != -1) {
        switch (option) {
        case 'f':
            settings.file = common::pathOrDie(option, optarg);
            break;
        case 'c':
            settings.channel = optarg;
            break;
        case 'p':
            settings.pin = common::pinOrDie(option, optarg);
            break;
        case 't':
            settings.seconds = common::secondsOrDie(option, optarg, kLongestListenS);
            break;
        case 'F':
            settings.json = common::choiceOrDie(option, optarg, {"text", "json"}) == 1;
            break;
        case 'v':
            settings.verbose = true;
            break;
        default:  // 'h'
            common::printHelp(kHelp);
        }
    }
    if ((settings.file != nullptr) == (settings.pin != -1)) {
        common::usageError("give either -f FILE or -p PIN");
    }
    if (settings.file == nullptr && !settings.channel.empty()) {
        common::usageError("-c goes with -f");
    }
    if (settings.file != nullptr && settings.seconds > 0) {
        common::usageError("-t goes with -p");
    }
    return settings;
}

class Printer {
public:
    explicit Printer(const Settings &settings) : settings_(settings) {}

    void print(const rx::Press &press) {
        ++presses_;
        if (settings_.json && settings_.file == nullptr) {
            // The kernel's edge times are on CLOCK_MONOTONIC.
            const auto beganUs = static_cast<std::int64_t>(std::llround(press.timeUs)) + common::realtimeOffsetUs();
            std::printf("%s\n", rx::pressJson(press, beganUs).c_str());
        } else if (settings_.json) {
            std::printf("%s\n", rx::pressJson(press, std::nullopt, press.timeUs / 1e6).c_str());
        } else {
            std::printf("remote %u button %u", press.remoteId, press.buttonId);
            if (settings_.verbose) {
                std::printf("  frames %u  start %.0f us  one %.0f us  zero %.0f us  scale %.2f  skew %+.0f us",
                            press.frames, press.startUs, press.oneUs, press.zeroUs, press.scale, press.skewUs);
            }
            std::printf("\n");
        }
        // A line is of use the moment it is printed; one that cannot be written ends the run.
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            common::fail(common::kTrouble, "cannot write to standard output: %s", std::strerror(errno));
        }
    }

    [[nodiscard]] int presses() const { return presses_; }

private:
    const Settings &settings_;
    int presses_ = 0;
};

// Opens the recording; nothing, with errno, when it cannot be read, a directory included.
common::Fd openRecording(const char *path) {
    common::Fd fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat about {};
    if (fd.valid() && fstat(fd.get(), &about) == 0 && S_ISDIR(about.st_mode)) {
        fd.reset();
        errno = EISDIR;
    }
    return fd;
}

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int /*signo*/) { stopRequested = 1; }

// Reads the recording, a dump or several one after another, into `receiver` as far as it can
// be read: what was read before a failure or a stop (SIGINT, SIGTERM, SIGHUP: a stream that
// only they end) is decoded all the same. Returns false when the recording could not be read to its end, having said
// why.
bool readRecording(const Settings &settings, rx::TerunaRx &receiver) {
    const bool standardInput = std::strcmp(settings.file, "-") == 0;
    const std::string name = standardInput ? "standard input" : "'" + std::string(settings.file) + "'";
    const common::Fd file = standardInput ? common::Fd() : openRecording(settings.file);
    const int fd = standardInput ? STDIN_FILENO : file.get();
    if (fd < 0) {
        common::complain("cannot read %s: %s", name.c_str(), std::strerror(errno));
        return false;
    }
    // The signals wait while the recording is read and act only while it waits for input, so
    // that no read begins after one came.
    sigset_t stopping{}, waiting{};
    sigemptyset(&stopping);
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stopping, signo);
        struct sigaction action {};
        action.sa_handler = requestStop;
        sigaction(signo, &action, nullptr);
    }
    sigprocmask(SIG_BLOCK, &stopping, &waiting);
    const rx::VcdSource source = [fd, &waiting](char *buffer, std::size_t size) -> long {
        for (;;) {
            pollfd ready{fd, POLLIN, 0};
            if (stopRequested != 0) {
                errno = EINTR;  // stops the reading
                return -1;
            }
            if (ppoll(&ready, 1, nullptr, &waiting) < 0 && errno != EINTR) {
                return -1;
            }
            if (stopRequested == 0 && ready.revents != 0) {
                const ssize_t n = read(fd, buffer, size);
                if (n >= 0 || errno != EINTR) {
                    return static_cast<long>(n);
                }
            }
        }
    };
    rx::VcdWire wire;
    const std::string why = rx::feedRecording(source, settings.channel, receiver, wire);
    if (!why.empty()) {
        common::complain("cannot read %s: %s", name.c_str(), why.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char *argv[]) {
    std::set_new_handler(outOfMemory);
    const Settings settings = parse(argc, argv);

    Printer printer(settings);
    rx::TerunaRx receiver([&](const rx::Press &press) { printer.print(press); });
    rx::RunWidths widths;
    if (settings.verbose) {
        receiver.watchRuns([&](int level, double widthUs) { widths.add(level, widthUs); });
    }

    unsigned long lostEdges = 0;
    const bool read = settings.file != nullptr ? readRecording(settings, receiver)
                                               : listenForPresses(settings.pin, settings.seconds, receiver, lostEdges);
    if (settings.verbose && read) {
        common::complain("widths of high runs: %s", widths.summary(1).c_str());
        common::complain("widths of low runs: %s", widths.summary(0).c_str());
        if (settings.file == nullptr) {
            common::complain("edges the kernel dropped: %lu", lostEdges);
        }
    }
    if (!read) {
        return common::kTrouble;
    }
    return printer.presses() > 0 ? kFound : kNoneFound;
}
