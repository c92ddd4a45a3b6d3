// SPDX-License-Identifier: MIT
// Measures the gateway against a broker of its own on 127.0.0.1: the time from a request's
// publish to the press's first edge on the real-clock simulated pins, the CPU share of the
// gateway while its receiver is fed noise, and its resident size after many presses heard and
// many requests refused (the simulated pins keep every call they were given, so requests sent
// would measure them, not the gateway).
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

#include "TerunaCode.h"
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
    wiringPiSetup();
    // The simulated pins time their calls from their set-up: this call, timed here too, ties
    // their clock to this one.
    const std::int64_t pinModeNs = gpio::monotonicNs();
    pinMode(0, OUTPUT);
    const std::int64_t setUpNs = pinModeNs - sim::events().back().timeNs;

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

// The gateway as it runs, with a FIFO as its receiver's input.
class GatewayRun {
public:
    // As node `node`: each run has a broker session of its own.
    GatewayRun(int port, const std::string &dir, const std::string &node, broker::Hub &hub) : fifo_(dir + "/input") {
        mkfifo(fifo_.c_str(), 0600);
        const std::string conf = dir + "/mqtt.conf";
        std::ofstream(conf) << "broker = mqtt://127.0.0.1:" << port << "\nnode = " << node
                            << "\nreceive_from = " << fifo_ << "\n";
        const char *argv[] = {"teruna-mqtt", "-c", conf.c_str(), nullptr};
        posix_spawn(&pid_, TERUNA_MQTT_BINARY, nullptr, nullptr, const_cast<char **>(argv), environ);
        hub.on("teruna/" + node + "/status", 1);
        input_ = open(fifo_.c_str(), O_WRONLY);
    }
    GatewayRun(const GatewayRun &) = delete;
    GatewayRun &operator=(const GatewayRun &) = delete;
    ~GatewayRun() {
        close(input_);
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        unlink(fifo_.c_str());
    }

    bool feed(const std::string &text) {
        return write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    // User and system time, in clock ticks.
    [[nodiscard]] long cpuTicks() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
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

    [[nodiscard]] long residentKb() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string key;
        long kb = 0;
        while (status >> key && key != "VmRSS:") {
        }
        status >> kb;
        return kb;
    }

private:
    std::string fifo_;
    pid_t pid_ = 0;
    int input_ = -1;
};

const std::string kVcdHeader = "$timescale 1us $end\n$scope module rx $end\n$var wire 1 ! rx $end\n$upscope $end\n"
                               "$enddefinitions $end\n#0\n0!\n";

// Noise as fast as a receiver module gives it, fed in real time.
void measureListening(int port, const std::string &dir) {
    broker::Hub hub(port);
    GatewayRun gateway(port, dir, "noise", hub);
    std::mt19937 random(1);
    // Mean 200 us between edges: 5,000 a second.
    std::uniform_int_distribution<int> widthUs(20, 1000000 / kNoiseEdgesPerS * 2 - 20);
    gateway.feed(kVcdHeader);
    const long ticksBefore = gateway.cpuTicks();
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
        if (!gateway.feed(text)) {
            std::printf("listening to noise: not measured, the gateway's input cannot be written\n");
            return;
        }
    }
    const double seconds = static_cast<double>(gpio::monotonicNs() - startNs) / 1e9;
    const long ticks = gateway.cpuTicks() - ticksBefore;
    std::printf("listening to noise at %.0f edges/s for %.0f s: gateway CPU %.2f%% of one core\n",
                static_cast<double>(edges) / seconds, seconds,
                100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds);
}

// One press of `frames` frames as the transmitter's line code has it, from `atUs`, as VCD.
std::string pressVcd(unsigned int code, int frames, std::int64_t &atUs) {
    std::string text;
    int level = 0;
    const auto change = [&](std::int64_t afterUs, int to) {
        atUs += afterUs;
        level = to;
        text += "#" + std::to_string(atUs) + "\n" + std::to_string(level) + "!\n";
    };
    for (int frame = 0; frame < frames; ++frame) {
        change(0, 1);
        change(TerunaCode::kStartUs, 0);
        for (int bit = TerunaCode::kCodeBits - 1; bit >= 0; --bit) {
            if ((code >> bit & 1U) != 0) {
                change(TerunaCode::kOneUs, level ^ 1);
            } else {
                change(TerunaCode::kZeroHalfUs, level ^ 1);
                change(TerunaCode::kZeroHalfUs, level ^ 1);
            }
        }
    }
    change(1, 0);
    return text;
}

// How many messages came on `topic`, once `count` have or none has come for a while.
std::size_t awaited(broker::Hub &hub, const std::string &topic, std::size_t count) {
    std::size_t before = 0;
    std::size_t now = hub.on(topic, count).size();
    while (now < count && now > before) {
        before = now;
        now = hub.on(topic, count).size();
    }
    return now;
}

// Resident size once warm, then after many presses heard and many requests refused.
void measureMemory(int port, const std::string &dir) {
    constexpr int kBatches = 10;
    constexpr int kBatch = 1000;
    constexpr int kFramesEach = 3;
    constexpr std::int64_t kBetweenUs = 30000;
    broker::Hub hub(port);
    GatewayRun gateway(port, dir, "memory", hub);
    gateway.feed(kVcdHeader);
    std::int64_t atUs = kBetweenUs;
    long warmKb = 0;
    std::size_t heard = 0;
    for (int batch = 0; batch < kBatches; ++batch) {
        std::string presses;
        for (int i = 0; i < kBatch; ++i) {
            presses += pressVcd(TerunaCode::codeWord(6400, 3), kFramesEach, atUs);
            atUs += kBetweenUs;
        }
        gateway.feed(presses);
        // The batch's last press is reported once the next one begins.
        heard = awaited(hub, "teruna/memory/received", static_cast<std::size_t>((batch + 1) * kBatch - 1));
        if (batch == 0) {
            warmKb = gateway.residentKb();
        }
    }
    const long heardKb = gateway.residentKb();
    for (int i = 0; i < kBatches * kBatch; ++i) {
        hub.publish("teruna/memory/send", R"({"remote": 70000, "button": 1, "id": ")" + std::to_string(i) + "\"}");
    }
    const std::size_t refused = awaited(hub, "teruna/memory/error", std::size_t{kBatches} * kBatch);
    std::printf("memory: resident %ld KiB after %d presses heard, %ld KiB after %zu (%+ld), %ld KiB after %zu requests "
                "refused as well (%+ld in all)\n",
                warmKb, kBatch, heardKb, heard, heardKb - warmKb, gateway.residentKb(), refused,
                gateway.residentKb() - warmKb);
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
    measureMemory(broker.port, dir);
    measureLatency(broker.port);
    broker.stop();
    std::filesystem::remove_all(dir);
    return 0;
}
