// teruna-sniff: finds the presses of Teruna remotes in a recording or on a GPIO input and
// prints the ids that teruna sends again.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TerunaRx.h"
#include "live.h"
#include "vcd.h"

namespace {

constexpr int kFound = 0;
constexpr int kNoneFound = 1;
constexpr int kTrouble = 2;

// Recordings of a press are a few megabytes; this is far beyond any real one.
constexpr long kMaxFileBytes = 1L << 30;

struct Settings {
    const char *file = nullptr;
    std::string channel;
    int pin = -1;
    double seconds = 0;
    bool verbose = false;
};

void usage(FILE *out) {
    std::fputs("usage: teruna-sniff -f FILE [-c CHANNEL] [-v]\n"
               "       teruna-sniff -p PIN [-t SECONDS] [-v]\n"
               "Finds the presses of Teruna remotes and prints one line per press, 'remote R button B';\n"
               "'teruna -g R -n B' sends that press again.\n"
               "  -f FILE     read a Value Change Dump (simulated pins, PulseView, sigrok-cli -O vcd)\n"
               "  -c CHANNEL  the 1-bit wire to read (default: the first one)\n"
               "  -p PIN      listen on this GPIO input, in wiringPi numbering, until interrupted\n"
               "  -t SECONDS  stop listening after this long\n"
               "  -v          also print the frames seen and the measured widths of the symbols\n"
               "  -h          print this text\n"
               "Exit status: 0 when a press was found, 1 when none, 2 for bad usage or an unreadable input.\n",
               out);
}

[[noreturn]] void exitWithUsage(const std::string &why) {
    std::fprintf(stderr, "teruna-sniff: %s\n", why.c_str());
    std::fputs("try 'teruna-sniff -h'\n", stderr);
    std::exit(kTrouble);
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
    while ((option = getopt(argc, argv, ":f:c:p:t:vh")) != -1) {
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

// The whole file, or a message saying why it cannot be had.
std::string readFile(const char *path, std::string &text) {
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        return std::strerror(errno);
    }
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
        if (static_cast<long>(text.size()) > kMaxFileBytes) {
            std::fclose(file);
            return "larger than 1 GiB";
        }
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return failed ? std::strerror(EIO) : "";
}

}  // namespace

int main(int argc, char *argv[]) {
    const Settings settings = parse(argc, argv);

    int presses = 0;
    TerunaRx rx([&](const TerunaRx::Press &press) {
        ++presses;
        std::printf("remote %u button %u", press.remoteId, press.buttonId);
        if (settings.verbose) {
            std::printf("  frames %u  start %.0f us  one %.0f us  zero %.0f us", press.frames, press.startUs,
                        press.oneUs, press.zeroUs);
        }
        std::printf("\n");
        std::fflush(stdout);
    });

    if (settings.file == nullptr) {
        if (listen(settings.pin, settings.seconds, rx) != 0) {
            return kTrouble;
        }
        return presses > 0 ? kFound : kNoneFound;
    }

    std::string text;
    std::string trouble = readFile(settings.file, text);
    VcdWire wire;
    if (trouble.empty()) {
        trouble = readVcd(text, settings.channel, wire);
    }
    if (!trouble.empty()) {
        std::fprintf(stderr, "teruna-sniff: cannot read '%s': %s\n", settings.file, trouble.c_str());
        return kTrouble;
    }
    for (const auto &[timeUs, level] : wire.levels) {
        rx.level(timeUs, level);
    }
    rx.end(wire.endUs);
    return presses > 0 ? kFound : kNoneFound;
}
