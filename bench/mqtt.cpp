// SPDX-License-Identifier: MIT
// Measures the gateway against a broker of its own on 127.0.0.1: the time from a request's
// publish to the press's first edge on the real-clock simulated pins, and the CPU share of the
// gateway while its receiver is fed noise.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wiringPi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "clock.h"
#include "config.h"
#include "gateway.h"
#include "queue.h"
#include "sim.h"
#include "transmit.h"

namespace {

constexpr int kRequests = 50;
constexpr int kNoiseEdgesPerS = 5000;
constexpr int kNoiseSeconds = 10;
constexpr std::int64_t kChunkNs = 10'000'000;

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

// The gateway's own threads in this process, so that its first edges are read in-process on
// the clock the requests were published on.
void measureLatency(int port) {
    mqtt::Config config;
    config.host = "127.0.0.1";
    config.port = port;
    config.broker = "mqtt://127.0.0.1:" + std::to_string(port);
    config.node = "bench";
    config.topic = "teruna/bench";
    setenv("TERUNA_SIM_LOG", "/dev/null", 1);
    const std::int64_t setUpNs = gpio::monotonicNs();
    wiringPiSetup();
    pinMode(0, OUTPUT);

    mqtt::Queue queue(config.queue);
    mqtt::Gateway gateway(config, queue);
    mqtt::Transmitter transmitter(0, queue,
                                  [&](const mqtt::Request &request, std::int64_t startUs, double waitedMs,
                                      double tookMs) { gateway.sent(request, startUs, waitedMs, tookMs); });
    broker::Hub hub(port);
    gateway.start();
    std::thread sender([&] { transmitter.run(); });
    hub.on("teruna/bench/status", 1);

    std::vector<std::int64_t> publishedNs;
    for (int i = 0; i < kRequests; ++i) {
        publishedNs.push_back(gpio::monotonicNs());
        hub.publish("teruna/bench/send", R"({"remote": 6400, "button": 3})");
        hub.on("teruna/bench/sent", static_cast<std::size_t>(i) + 1);
        // An idle gateway: the pause it keeps between two presses is over.
        usleep(2 * mqtt::kGapUs);
    }
    queue.stop();
    sender.join();
    gateway.stop();

    std::vector<double> latenciesMs;
    bool pressBegun = false;
    for (const sim::Event &event : sim::events()) {
        if (event.call == sim::Call::piHiPri && event.first > 0) {
            pressBegun = true;
        } else if (pressBegun && event.call == sim::Call::digitalWrite && event.second == HIGH) {
            const std::int64_t edgeNs = setUpNs + event.timeNs;
            latenciesMs.push_back(static_cast<double>(edgeNs - publishedNs[latenciesMs.size()]) / 1e6);
            pressBegun = false;
        }
    }
    if (latenciesMs.size() != kRequests) {
        std::printf("publish to first edge: %zu of %d presses found\n", latenciesMs.size(), kRequests);
        return;
    }
    std::printf("publish to first edge over %d requests: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", kRequests,
                percentile(latenciesMs, 0.5), percentile(latenciesMs, 0.99),
                *std::max_element(latenciesMs.begin(), latenciesMs.end()));
}

// User and system time of process `pid`, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int at = 3; at <= 15 && fields >> field; ++at) {
        if (at >= 14) {
            ticks += std::stol(field);
        }
    }
    return ticks;
}

// The gateway as it runs, fed noise through a FIFO as fast as a receiver module gives it.
void measureListening(int port, const std::string &dir) {
    const std::string fifo = dir + "/noise";
    mkfifo(fifo.c_str(), 0600);
    std::ofstream(dir + "/mqtt.conf") << "broker = mqtt://127.0.0.1:" << port
                                      << "\nnode = bench\nreceive_from = " << fifo << "\n";
    broker::Hub hub(port);
    const std::string conf = dir + "/mqtt.conf";
    const char *argv[] = {"teruna-mqtt", "-c", conf.c_str(), nullptr};
    pid_t gateway = 0;
    posix_spawn(&gateway, TERUNA_MQTT_BINARY, nullptr, nullptr, const_cast<char **>(argv), environ);
    hub.on("teruna/bench/status", 1);

    const int out = open(fifo.c_str(), O_WRONLY);
    std::string header = "$timescale 1us $end\n$scope module noise $end\n$var wire 1 ! rx $end\n$upscope $end\n"
                         "$enddefinitions $end\n#0\n0!\n";
    if (write(out, header.data(), header.size()) < 0) {
        std::printf("listening to noise: not measured, the FIFO cannot be written\n");
        return;
    }
    std::mt19937 random(1);
    // Mean 200 us between edges: 5,000 a second.
    std::uniform_int_distribution<int> widthUs(20, 1000000 / kNoiseEdgesPerS * 2 - 20);
    const long ticksBefore = cpuTicks(gateway);
    const std::int64_t startNs = gpio::monotonicNs();
    std::int64_t lineUs = 0;
    int level = 0;
    long edges = 0;
    for (std::int64_t chunkNs = startNs; chunkNs < startNs + kNoiseSeconds * 1'000'000'000LL; chunkNs += kChunkNs) {
        gpio::waitUntilNs(chunkNs);
        std::string text;
        while (lineUs * 1000 < chunkNs - startNs) {
            lineUs += widthUs(random);
            level ^= 1;
            text += "#" + std::to_string(lineUs) + "\n" + std::to_string(level) + "!\n";
            ++edges;
        }
        if (write(out, text.data(), text.size()) < 0) {
            break;
        }
    }
    const double seconds = static_cast<double>(gpio::monotonicNs() - startNs) / 1e9;
    const long ticks = cpuTicks(gateway) - ticksBefore;
    close(out);
    kill(gateway, SIGTERM);
    waitpid(gateway, nullptr, 0);
    std::printf("listening to noise at %.0f edges/s for %.0f s: gateway CPU %.2f%% of one core\n",
                static_cast<double>(edges) / seconds, seconds,
                100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds);
}

}  // namespace

int main() {
    char dir[] = "/tmp/teruna-mqtt-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("teruna-mqtt-bench: mkdtemp");
        return 1;
    }
    broker::Broker broker(MOSQUITTO, "", dir);
    if (!broker.ready()) {
        std::printf("not measured: mosquitto did not start (Debian: apt-get install mosquitto)\n");
        return 1;
    }
    measureListening(broker.port, dir);
    measureLatency(broker.port);
    broker.stop();
    std::filesystem::remove_all(dir);
    return 0;
}
