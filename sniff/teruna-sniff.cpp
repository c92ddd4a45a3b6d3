// SPDX-License-Identifier: MIT
// teruna-sniff: finds the presses of Teruna remotes in a recording or on a GPIO input and
// prints the ids that teruna sends again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "RunWidths.h"
#include "TerunaRx.h"
#include "fail.h"
#include "fd.h"
#include "live.h"
#include "vcd.h"

namespace {

constexpr int kFound = 0;
constexpr int kNoneFound = 1;
constexpr int kTrouble = 2;

struct Settings {
    const char *file = nullptr;
    std::string channel;
    int pin = -1;
    double seconds = 0;
    bool json = false;
    bool verbose = false;
};

void usage(FILE *out) {
    std::fputs("usage: teruna-sniff -f FILE [-c CHANNEL] [-F FORMAT] [-v]\n"
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
               "Exit status: 0 when a press was found, 1 when none, 2 for bad usage or an unreadable input.\n",
               out);
}

[[noreturn]] void exitWithUsage(const std::string &why) {
    common::complain("%s", why.c_str());
    std::fputs("try 'teruna-sniff -h'\n", stderr);
    std::exit(kTrouble);
}

[[noreturn]] void outOfMemory() {
    std::fputs("teruna-sniff: out of memory\n", stderr);  // nothing that could allocate
    std::_Exit(kTrouble);
}

bool toNumber(const char *text, long &value) {
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

Settings parse(int argc, char *argv[]) {
    Settings settings;
    opterr = 0;
    int option = 0;
    while ((option = getopt(argc, argv, ":f:c:p:t:F:vh")) != -1) {
        long number = 0;
        char *end = nullptr;
        switch (option) {
        case 'f':
            settings.file = optarg;
            break;
        case 'c':
            settings.channel = optarg;
            break;
        case 'p':
            if (!toNumber(optarg, number) || number < -1000000 || number > 1000000) {
                exitWithUsage("-p takes a pin number, not '" + std::string(optarg) + "'");
            }
            settings.pin = static_cast<int>(number);
            break;
        case 't':
            settings.seconds = std::strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(settings.seconds > 0) || settings.seconds > 1e7) {
                exitWithUsage("-t takes a number of seconds, not '" + std::string(optarg) + "'");
            }
            break;
        case 'F':
            if (std::strcmp(optarg, "json") != 0 && std::strcmp(optarg, "text") != 0) {
                exitWithUsage("-F takes text or json, not '" + std::string(optarg) + "'");
            }
            settings.json = std::strcmp(optarg, "json") == 0;
            break;
        case 'v':
            settings.verbose = true;
            break;
        case 'h':
            usage(stdout);
            std::exit(kFound);
        case ':':
            exitWithUsage(std::string("option -") + static_cast<char>(optopt) + " needs a value");
        default:
            exitWithUsage(std::string("unknown option -") + static_cast<char>(optopt));
        }
    }
    if (optind < argc) {
        exitWithUsage("unexpected argument '" + std::string(argv[optind]) + "'");
    }
    if ((settings.file != nullptr) == (settings.pin != -1)) {
        exitWithUsage("give either -f FILE or -p PIN");
    }
    if (settings.file == nullptr && !settings.channel.empty()) {
        exitWithUsage("-c goes with -f");
    }
    if (settings.file != nullptr && settings.seconds > 0) {
        exitWithUsage("-t goes with -p");
    }
    return settings;
}

// CLOCK_REALTIME less CLOCK_MONOTONIC, in microseconds: turns the kernel's edge times into
// the time of day.
double realtimeOffsetUs() {
    timespec real{}, monotonic{};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    return static_cast<double>(real.tv_sec - monotonic.tv_sec) * 1e6 +
           static_cast<double>(real.tv_nsec - monotonic.tv_nsec) / 1e3;
}

// "2026-12-08T08:31:20.123Z"
std::string utcTime(double sinceEpochUs) {
    const auto ms = static_cast<long long>(sinceEpochUs / 1e3);
    const auto seconds = static_cast<time_t>(ms / 1000);
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + n, sizeof text - n, ".%03lldZ", ms % 1000);
    return text;
}

class Printer {
public:
    Printer(const Settings &settings, double offsetUs) : settings_(settings), offsetUs_(offsetUs) {}

    void print(const rx::Press &press) {
        ++presses_;
        if (settings_.json) {
            std::printf("{\"remote\":%u,\"button\":%u,\"frames\":%u,\"start_us\":%.1f,\"one_us\":%.1f,"
                        "\"zero_us\":%.1f,\"scale\":%.3f,\"skew_us\":%.1f,",
                        press.remoteId, press.buttonId, press.frames, press.startUs, press.oneUs, press.zeroUs,
                        press.scale, press.skewUs);
            if (settings_.file == nullptr) {
                std::printf("\"time\":\"%s\"}\n", utcTime(press.timeUs + offsetUs_).c_str());
            } else {
                std::printf("\"time_s\":%.6f}\n", press.timeUs / 1e6);
            }
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
            common::fail(kTrouble, "cannot write to standard output: %s", std::strerror(errno));
        }
    }

    [[nodiscard]] int presses() const { return presses_; }

private:
    const Settings &settings_;
    double offsetUs_;
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

int readRecording(const Settings &settings, rx::TerunaRx &receiver) {
    const bool standardInput = std::strcmp(settings.file, "-") == 0;
    const std::string name = standardInput ? "standard input" : "'" + std::string(settings.file) + "'";
    std::string trouble;
    const common::Fd file = standardInput ? common::Fd() : openRecording(settings.file);
    const int fd = standardInput ? STDIN_FILENO : file.get();
    if (fd < 0) {
        trouble = std::strerror(errno);
    } else {
        VcdWire wire;
        const VcdSource source = [fd](char *buffer, std::size_t size) {
            return static_cast<long>(read(fd, buffer, size));
        };
        trouble =
            readVcd(source, settings.channel, wire, [&](double timeUs, int level) { receiver.level(timeUs, level); });
        if (trouble.empty()) {
            receiver.end(wire.endUs);
        }
    }
    if (!trouble.empty()) {
        common::complain("cannot read %s: %s", name.c_str(), trouble.c_str());
        return kTrouble;
    }
    return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
    std::set_new_handler(outOfMemory);
    const Settings settings = parse(argc, argv);

    Printer printer(settings, realtimeOffsetUs());
    rx::TerunaRx receiver([&](const rx::Press &press) { printer.print(press); });
    RunWidths widths;
    if (settings.verbose) {
        receiver.watchRuns([&](int level, double widthUs) { widths.add(level, widthUs); });
    }

    unsigned long lostEdges = 0;
    const int trouble = settings.file != nullptr ? readRecording(settings, receiver)
                                                 : listen(settings.pin, settings.seconds, receiver, lostEdges);
    if (settings.verbose && trouble == 0) {
        common::complain("widths of high runs: %s", widths.summary(1).c_str());
        common::complain("widths of low runs: %s", widths.summary(0).c_str());
        if (settings.file == nullptr) {
            common::complain("edges the kernel dropped: %lu", lostEdges);
        }
    }
    if (trouble != 0) {
        return kTrouble;
    }
    return printer.presses() > 0 ? kFound : kNoneFound;
}
