// SPDX-License-Identifier: MIT
// Listening on a GPIO input through the kernel's edge events and their timestamps, until a
// signal or the time given.
#include <csignal>

#include "LiveLine.h"
#include "fail.h"
#include "live.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;

void stopListening(int /*signo*/) { interrupted = 1; }

}  // namespace

bool listenForPresses(int pin, double seconds, rx::TerunaRx &receiver, unsigned long &lostEdges) {
    rx::LiveLine line;
    std::string why = line.open(pin);
    if (why.empty()) {
        struct sigaction action {};
        action.sa_handler = stopListening;  // without SA_RESTART, so that poll returns
        for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
            sigaction(signo, &action, nullptr);
        }
        double stopUs = -1;
        why = line.follow(receiver, [&](double nowUs) {
            if (stopUs < 0 && seconds > 0) {
                stopUs = nowUs + seconds * 1e6;
            }
            return interrupted == 0 && (stopUs < 0 || nowUs < stopUs);
        });
        lostEdges = line.lostEdges();
    }
    if (!why.empty()) {
        common::complain("%s", why.c_str());
        return false;
    }
    return true;
}
