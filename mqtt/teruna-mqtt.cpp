// SPDX-License-Identifier: MIT
// teruna-mqtt: a gateway between an MQTT broker and the radio: presses requested over MQTT are
// sent, and presses heard are published.
#include <malloc.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wiringPi.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "clock.h"
#include "command-line.h"
#include "config.h"
#include "fail.h"
#include "fd.h"
#include "gateway.h"
#include "queue.h"
#include "receive.h"
#include "retire.h"
#include "signals.h"
#include "thread.h"
#include "transmit.h"

namespace {

// A bad configuration (status common::kTrouble) is mended by its administrator, any other
// failure perhaps by time: the service is started again after status 1 only.
constexpr int kFailed = 1;
constexpr const char *kDefaultConfig = "/etc/teruna/mqtt.conf";

constexpr const char *kHelp =
    "usage: teruna-mqtt [-c FILE] [--retire]\n"
    "Sends the presses of Teruna remotes that an MQTT broker asks for, and publishes those heard.\n"
    "  -c FILE   the configuration (default: /etc/teruna/mqtt.conf)\n"
    "  --retire  clear for good what the broker keeps of the node, and list what it cleared\n"
    "  -h        print this text\n"
    "SIGHUP reads the configuration again.\n"
    "Exit status: 0 when stopped by SIGTERM or SIGINT, 2 for bad usage or a bad configuration,\n"
    "1 for any other failure (the GPIO pins, the MQTT client, a listener that failed).\n";

// Reads the configuration at `path`. Returns "", or "PATH:LINE: why". An empty file is every
// default at start; at a reload it is refused, as an editor that empties a file before
// writing it would otherwise move the gateway to the defaults' broker.
std::string readConfig(const char *path, mqtt::Config &config, bool reloading = false) {
    struct stat status {};
    if (stat(path, &status) != 0) {
        return std::string("cannot read ") + path + ": " + std::strerror(errno);
    }
    // Not a FIFO, which would wait for a writer, nor a directory, which reads as empty.
    if (!S_ISREG(status.st_mode)) {
        return std::string(path) + " is " + (S_ISDIR(status.st_mode) ? "a directory" : "not a regular file") +
               ", not a configuration";
    }
    std::ifstream file(path);
    std::ostringstream text;
    if (!(text << file.rdbuf())) {
        if (file.is_open() && !file.bad() && text.str().empty()) {
            return reloading ? std::string(path) + " is empty: the configuration in force stays"
                             : mqtt::parseConfig("", path, config);
        }
        return std::string("cannot read ") + path + ": " + std::strerror(errno);
    }
    return mqtt::parseConfig(text.str(), path, config);
}

const char *configPath = kDefaultConfig;
bool retiring = false;

mqtt::Config configure(int argc, char *argv[]) {
    // The one long option, taken out before the short ones are read.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--retire") == 0) {
            retiring = true;
            std::copy(argv + i + 1, argv + argc + 1, argv + i);
            --argc;
            --i;
        }
    }
    int option = 0;
    while ((option = common::nextOption(argc, argv, "c:h")) != -1) {
        switch (option) {
        case 'c':
            configPath = common::pathOrDie(option, optarg);
            break;
        default:  // 'h'
            common::printHelp(kHelp);
        }
    }
    mqtt::Config config;
    const std::string why = readConfig(configPath, config);
    if (!why.empty()) {
        common::fail(common::kTrouble, "%s", why.c_str());
    }
    return config;
}

// Reads the configuration again for the gateway. What the transmitting and receiving threads
// hold stays as it is until the next start.
void reload(const mqtt::Config &running, mqtt::Gateway &gateway) {
    mqtt::Config next;
    const std::string why = readConfig(configPath, next, true);
    if (!why.empty()) {
        common::complain("%s", why.c_str());
        return;
    }
    if (next.txPin != running.txPin || next.rxPin != running.rxPin || next.receiveFrom != running.receiveFrom ||
        next.queue != running.queue) {
        common::complain("%s: tx_pin, rx_pin, receive_from and queue change when teruna-mqtt starts again", configPath);
        next.txPin = running.txPin;
        next.rxPin = running.rxPin;
        next.receiveFrom = running.receiveFrom;
        next.queue = running.queue;
    }
    gateway.reload(next);
}

// Waits for a signal that ends the run, or for the listener to fail. A signal that stops the
// process waits for the press on the air, then stops it. Returns the signal, or 0.
int waitForTheEnd(const sigset_t &awaited, const mqtt::Receiver &receiver, std::mutex &pressing,
                  const std::function<void()> &onHangUp) {
    const common::Fd signals(signalfd(-1, &awaited, SFD_CLOEXEC));
    if (!signals.valid()) {
        common::fail(kFailed, "cannot wait for signals: %s", std::strerror(errno));
    }
    for (;;) {
        pollfd ready[] = {{signals.get(), POLLIN, 0}, {receiver.failureFd(), POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            continue;  // EINTR: nothing is lost, the signals wait in the descriptor
        }
        if (ready[1].revents != 0) {
            return 0;
        }
        signalfd_siginfo info{};
        if (read(signals.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            continue;
        }
        const int signo = static_cast<int>(info.ssi_signo);
        if (signo == SIGHUP) {
            onHangUp();
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
}

}  // namespace

// Clears the node's retained state and says what it cleared.
int retireNode(const mqtt::Config &config) {
    const mqtt::Retirement done = mqtt::retire(config);
    if (!done.why.empty()) {
        common::fail(kFailed, "cannot retire node %s on %s: %s", config.node.c_str(), config.broker.c_str(),
                     done.why.c_str());
    }
    if (done.cleared.empty()) {
        std::printf("nothing of node %s was kept on %s\n", config.node.c_str(), config.broker.c_str());
    }
    for (const std::string &topic : done.cleared) {
        std::printf("cleared %s\n", topic.c_str());
    }
    return 0;
}

int main(int argc, char *argv[]) {
    const mqtt::Config config = configure(argc, argv);
    if (retiring) {
        return retireNode(config);
    }
    if (config.nodeIsHostName && config.node == "raspberrypi") {
        common::complain("node is the host name raspberrypi, as on every new Pi: a second gateway of that name would "
                         "take this one's session; set node in %s",
                         configPath);
    }

    // Every thread holds the signals; this one takes them, so none ends a press half sent.
    signal(SIGPIPE, SIG_IGN);
    const sigset_t held = common::holdableSignals();
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
    sigset_t awaited = held;
    sigdelset(&awaited, SIGPIPE);  // a socket's, ignored
    if (wiringPiSetup() == -1) {
        common::fail(kFailed, "cannot set up the GPIO pins: %s", std::strerror(errno));
    }
    pinMode(config.txPin, OUTPUT);
    // The transmitter's memory lock leaves the other threads' pages to the kernel. It is refused
    // without CAP_IPC_LOCK where all that the process maps outgrows RLIMIT_MEMLOCK: one heap for
    // every thread spares the 64 MiB each further heap of the C library maps.
    gpio::lockOnlyPagesInUse();
    mallopt(M_ARENA_MAX, 1);

    mqtt::Queue queue(config.queue);
    mqtt::Gateway gateway(config, queue);
    mqtt::Transmitter transmitter(config.txPin, queue,
                                  [&](const mqtt::Request &request, std::int64_t startUs, double waitedMs,
                                      double tookMs) { gateway.sent(request, startUs, waitedMs, tookMs); });
    gateway.hearsBack([&](std::int64_t nowNs) { return transmitter.onTheAirLately(nowNs); });
    mqtt::Receiver receiver(config, [&](const rx::Press &press, std::int64_t beganUs, std::int64_t endedUs) {
        gateway.heard(press, beganUs, endedUs);
    });
    std::string why = gateway.start();
    if (why.empty()) {
        why = receiver.start();
    }
    mqtt::Thread sender;
    if (why.empty()) {
        why = sender.start([&] { transmitter.run(); });
    }
    if (!why.empty()) {
        common::fail(kFailed, "%s", why.c_str());
    }

    const int signo = waitForTheEnd(awaited, receiver, transmitter.pressing(), [&] { reload(config, gateway); });
    for (const mqtt::Request &request : queue.stop()) {
        gateway.refuse(mqtt::Gateway::kCancelledAtStop, request.payload, request.id);
    }
    sender.join();
    receiver.stop();
    gateway.stop();
    if (signo == 0) {
        return kFailed;
    }
    if (signo != SIGTERM && signo != SIGINT) {
        // Ended as the signal ends a process, once the pin is low and the broker told.
        common::releaseHeldSignals();
        raise(signo);
    }
    return 0;
}
