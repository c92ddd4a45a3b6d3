// Listening on a GPIO input through the kernel's edge events and their timestamps.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cdev.h"
#include "clock.h"
#include "live.h"
#include "pins.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;

void stopListening(int /*signo*/) { interrupted = 1; }

// Silence is noticed within this, so a press is reported soon after it ends.
constexpr int kPollMs = 10;

}  // namespace

int listen(int pin, double seconds, TerunaRx &rx) {
    const int line = gpio::bcmLineOf(pin);
    if (line < 0) {
        gpio::reportUnknownPin(pin);
        return 2;
    }
    gpio::ChipInfo chip;
    const int chipFd = gpio::openHeaderChip(chip);
    if (chipFd < 0) {
        std::fprintf(stderr, "teruna-sniff: cannot open the header's GPIO chip: %s\n", std::strerror(errno));
        return 2;
    }
    int level = 0;
    const int lineFd = gpio::requestEdges(chipFd, line, level);
    if (lineFd < 0) {
        std::fprintf(stderr, "teruna-sniff: cannot listen on %s: %s\n", gpio::describeLine(pin, line, chip).c_str(),
                     std::strerror(errno));
        close(chipFd);
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = stopListening;  // without SA_RESTART, so that poll returns
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const double startUs = static_cast<double>(gpio::monotonicNs()) / 1e3;
    const double stopUs = seconds > 0 ? startUs + seconds * 1e6 : -1;
    rx.level(startUs, level);
    double nowUs = startUs;
    while (interrupted == 0 && (stopUs < 0 || nowUs < stopUs)) {
        pollfd ready{lineFd, POLLIN, 0};
        const int events = poll(&ready, 1, kPollMs);
        nowUs = static_cast<double>(gpio::monotonicNs()) / 1e3;
        if (events > 0) {
            gpio::Edge edges[16];
            const int count = gpio::readEdges(lineFd, edges, 16);
            for (int i = 0; i < count; ++i) {
                rx.level(static_cast<double>(edges[i].timeNs) / 1e3, edges[i].level);
            }
        } else if (events == 0) {
            // Only a quiet line: with edges still queued, the clock is ahead of them.
            rx.silentUntil(nowUs);
        }
    }
    rx.end(nowUs);
    close(lineFd);
    close(chipFd);
    return 0;
}
