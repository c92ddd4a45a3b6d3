// SPDX-License-Identifier: MIT
// teruna-mqtt: a gateway between an MQTT broker and the radio: presses requested over MQTT are
// sent, and presses heard are published.
#include <unistd.h>
#include <wiringPi.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "clock.h"
#include "config.h"
#include "fail.h"
#include "gateway.h"
#include "queue.h"
#include "receive.h"
#include "signals.h"
#include "transmit.h"

namespace {

constexpr int kTrouble = 2;
constexpr const char *kDefaultConfig = "/etc/teruna/mqtt.conf";
constexpr long kWatchNs = 200'000'000;

void usage(FILE *out) {
    std::fputs("usage: teruna-mqtt [-c FILE]\n"
               "Sends the presses of Teruna remotes that an MQTT broker asks for, and publishes those heard.\n"
               "  -c FILE  the configuration (default: /etc/teruna/mqtt.conf)\n"
               "  -h       print this text\n"
               "Exit status: 0 when stopped by SIGTERM or SIGINT, 1 when the GPIO pins cannot be set up,\n"
               "2 for bad usage, a bad configuration or a listener that failed.\n",
               out);
}

mqtt::Config configure(int argc, char *argv[]) {
    const char *path = kDefaultConfig;
    opterr = 0;
    int option = 0;
    while ((option = getopt(argc, argv, ":c:h")) != -1) {
        switch (option) {
        case 'c':
            path = optarg;
            break;
        case 'h':
            usage(stdout);
            std::exit(0);
        case ':':
            common::fail(kTrouble, "option -%c needs a value; try 'teruna-mqtt -h'", optopt);
        default:
            common::fail(kTrouble, "unknown option -%c; try 'teruna-mqtt -h'", optopt);
        }
    }
    if (optind < argc) {
        common::fail(kTrouble, "unexpected argument '%s'; try 'teruna-mqtt -h'", argv[optind]);
    }
    std::ifstream file(path);
    std::ostringstream text;
    if (!(text << file.rdbuf())) {
        common::fail(kTrouble, "cannot read %s: %s", path, std::strerror(errno));
    }
    mqtt::Config config;
    const std::string why = mqtt::parseConfig(text.str(), path, config);
    if (!why.empty()) {
        common::fail(kTrouble, "%s", why.c_str());
    }
    return config;
}

// Waits for a signal that ends the run, or for the listener to fail. A signal that stops the
// process waits for the press on the air, then stops it. Returns the signal, or 0.
int waitForTheEnd(const sigset_t &awaited, const mqtt::Receiver &receiver, std::mutex &pressing) {
    const timespec watch{0, kWatchNs};
    while (!receiver.failed()) {
        const int signo = sigtimedwait(&awaited, nullptr, &watch);
        if (signo < 0) {
            continue;
        }
        switch (common::defaultActionOf(signo)) {
        case common::SignalDefault::ends:
            return signo;
        case common::SignalDefault::stops: {
            const std::lock_guard<std::mutex> lock(pressing);
            kill(getpid(), SIGSTOP);
            break;
        }
        default:
            break;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
    const mqtt::Config config = configure(argc, argv);

    // Every thread holds the signals; this one takes them, so none ends a press half sent.
    signal(SIGPIPE, SIG_IGN);
    const sigset_t held = common::holdableSignals();
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
    sigset_t awaited = held;
    sigdelset(&awaited, SIGPIPE);  // a socket's, ignored
    if (wiringPiSetup() == -1) {
        common::fail(1, "cannot set up the GPIO pins: %s", std::strerror(errno));
    }
    pinMode(config.txPin, OUTPUT);

    mqtt::Queue queue(config.queue);
    mqtt::Gateway gateway(config, queue);
    mqtt::Transmitter transmitter(config.txPin, queue,
                                  [&](const mqtt::Request &request, std::int64_t startUs, double waitedMs,
                                      double tookMs) { gateway.sent(request, startUs, waitedMs, tookMs); });
    mqtt::Receiver receiver(config, [&](const rx::Press &press, std::int64_t beganUs, std::int64_t /*endedUs*/) {
        // A press of our own, heard back, must not reach a hub that may answer it with another.
        if (!transmitter.onTheAirLately(gpio::monotonicNs())) {
            gateway.heard(press, beganUs);
        }
    });
    std::string why = gateway.start();
    if (why.empty()) {
        why = receiver.start();
    }
    if (!why.empty()) {
        common::fail(kTrouble, "%s", why.c_str());
    }
    std::thread sender([&] { transmitter.run(); });

    const int signo = waitForTheEnd(awaited, receiver, transmitter.pressing());
    for (const mqtt::Request &request : queue.stop()) {
        gateway.refuse("cancelled at stop", request.payload, request.id);
    }
    sender.join();
    receiver.stop();
    gateway.stop();
    if (signo == 0) {
        return kTrouble;
    }
    if (signo != SIGTERM && signo != SIGINT) {
        // Ended as the signal ends a process, once the pin is low and the broker told.
        common::releaseHeldSignals();
        raise(signo);
    }
    return 0;
}
