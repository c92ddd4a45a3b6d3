// SPDX-License-Identifier: MIT
// Runs inside the emulated machine: feeds a gpio-sim line's input by writing its 'pull'
// attribute, with the press's own timing. A press comes from the transmitter itself, driving
// this file's wiringPi calls instead of a pin; noise and other remotes' codes are played
// as runs.
//   inject PULL press REMOTE BUTTON | noise MILLISECONDS SEED | pwm UNIT_US
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "TerunaTx.h"
#include "clock.h"
#include "clocks.h"

namespace {

int pullFd = -1;

void drive(int level) {
    const char *pull = level != 0 ? "pull-up" : "pull-down";
    if (pwrite(pullFd, pull, std::strlen(pull), 0) < 0) {
        std::perror("inject: pull");
        std::exit(1);
    }
}

// Plays runs one after the other, each timed from where the last one's deadline fell, so
// that the writes do not stretch them.
class Player {
public:
    void run(int level, double us) {
        drive(level);
        deadlineNs_ += static_cast<std::int64_t>(us * 1000);
        gpio::waitUntilNs(deadlineNs_);
    }

private:
    std::int64_t deadlineNs_ = common::monotonicNs();
};

}  // namespace

extern "C" int wiringPiSetup(void) { return 0; }
extern "C" void pinMode(int /*pin*/, int /*mode*/) {}
extern "C" void digitalWrite(int /*pin*/, int value) { drive(value); }
extern "C" void delayMicroseconds(unsigned int howLong) { gpio::delayUs(howLong); }
extern "C" int piHiPri(const int pri) { return gpio::requestPriority(pri); }

int main(int argc, char *argv[]) {
    if (argc < 4) {
        std::fputs("usage: inject PULL press REMOTE BUTTON | noise MILLISECONDS SEED | pwm UNIT_US\n", stderr);
        return 2;
    }
    pullFd = open(argv[1], O_WRONLY | O_CLOEXEC);
    if (pullFd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    const std::string what = argv[2];
    if (what == "press" && argc == 5) {
        tx::TerunaTx(0).sendButton(static_cast<unsigned short>(std::atoi(argv[3])),
                                   static_cast<unsigned char>(std::atoi(argv[4])));
    } else if (what == "noise" && argc == 5) {
        // The pulses a receiver's gain control makes of silence.
        std::mt19937 random(static_cast<unsigned int>(std::atoi(argv[4])));
        std::uniform_real_distribution<double> widthUs(20, 2500);
        Player player;
        gpio::requestPriority(tx::TerunaTx::kPriority);
        for (double totalUs = 0; totalUs < std::atof(argv[3]) * 1000;) {
            for (const int level : {1, 0}) {
                const double us = widthUs(random);
                player.run(level, us);
                totalUs += us;
            }
        }
        gpio::requestPriority(0);
    } else if (what == "pwm" && argc == 4) {
        // A fixed-width PWM remote: a short and a long pulse per bit, a long gap after 24 bits.
        const double unitUs = std::atof(argv[3]);
        std::mt19937 random(24);
        Player player;
        gpio::requestPriority(tx::TerunaTx::kPriority);
        for (int repeat = 0; repeat < 8; ++repeat) {
            for (int bit = 0; bit < 24; ++bit) {
                const bool one = (random() & 1) != 0;
                player.run(1, (one ? 3 : 1) * unitUs);
                player.run(0, (one ? 1 : 3) * unitUs);
            }
            player.run(1, unitUs);
            player.run(0, 31 * unitUs);
        }
        gpio::requestPriority(0);
    } else {
        std::fprintf(stderr, "inject: unknown '%s'\n", argv[2]);
        return 2;
    }
    drive(0);
    return 0;
}
