// SPDX-License-Identifier: MIT
// Measures the gateway against a broker of its own on 127.0.0.1: the time from a request's
// publish to the press's first edge on the real-clock simulated pins, the CPU share of the
// gateway while its receiver is fed noise, its resident size after many presses heard and
// many requests refused (requests sent would add the simulated pins' memory of their latest
// calls to the figure), what ten presses locked and left resident, and how soon
// the first of one, two or three gateways that hear a press publishes it on the shared topic. Measurements named are
// the only ones run: teruna-mqtt-bench [listening|memory|latency|gateways]...
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wiringPi.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TerunaCode.h"
#include "broker.h"
#include "clock.h"
#include "clocks.h"
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
    const std::int64_t pinModeNs = common::monotonicNs();
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

    std::vector<double> latenciesMs;
    for (int i = 0; i < kRequests; ++i) {
        const std::int64_t publishedNs = common::monotonicNs();
        hub.publish("teruna/bench/send", R"({"remote": 6400, "button": 3})");
        hub.on("teruna/bench/sent", static_cast<std::size_t>(i) + 1);
        // Read at once: the simulated pins keep only their latest calls.
        const std::vector<sim::Event> kept = sim::events();
        const auto begun = std::find_if(kept.rbegin(), kept.rend(), [](const sim::Event &event) {
            return event.call == sim::Call::piHiPri && event.first > 0;
        });
        const auto edge = std::find_if(begun.base(), kept.end(), [](const sim::Event &event) {
            return event.call == sim::Call::digitalWrite && event.second == HIGH;
        });
        if (begun != kept.rend() && edge != kept.end()) {
            latenciesMs.push_back(static_cast<double>(setUpNs + edge->timeNs - publishedNs) / 1e6);
        }
        // An idle gateway: the pause it keeps between two presses is over.
        usleep(2 * mqtt::kGapUs);
    }
    queue.stop();
    sender.join();
    gateway.stop();

    if (latenciesMs.size() != kRequests) {
        std::printf("publish to first edge: %zu of %d presses found\n", latenciesMs.size(), kRequests);
        return;
    }
    std::printf("publish to first edge over %d requests: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", kRequests,
                percentile(latenciesMs, 0.5), percentile(latenciesMs, 0.99),
                *std::max_element(latenciesMs.begin(), latenciesMs.end()));
}

// Starts `binary` with `args` (argv[0] first) and this process's environment without its
// TERUNA_ variables, plus `extra`; its standard output goes to `out` when given.
pid_t spawn(const char *binary, std::vector<std::string> args, std::vector<std::string> extra,
            const char *out = nullptr) {
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "TERUNA_", 7) != 0) {
            env.emplace_back(*entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    const auto pointers = [](std::vector<std::string> &strings) {
        std::vector<char *> to;
        to.reserve(strings.size() + 1);
        for (std::string &string : strings) {
            to.push_back(string.data());
        }
        to.push_back(nullptr);
        return to;
    };
    std::vector<char *> argv = pointers(args);
    std::vector<char *> envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out != nullptr) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out, O_WRONLY, 0);
    }
    pid_t pid = -1;
    posix_spawn(&pid, binary, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The gateway as it runs, with a FIFO as its receiver's input, in a folder of its own under
// `dir` named after its node.
class GatewayRun {
public:
    // As node `node`: each run has a broker session of its own. With `holdInput`, the run is
    // the one writer of the input, which it keeps open; without, each writer opens it anew.
    GatewayRun(int port, const std::string &dir, const std::string &node, broker::Hub &hub, bool holdInput = true)
        : fifo_(dir + "/" + node + "/input") {
        const std::string own = dir + "/" + node;
        std::filesystem::create_directory(own);
        mkfifo(fifo_.c_str(), 0600);
        const std::string conf = own + "/mqtt.conf";
        std::ofstream(conf) << "broker = mqtt://127.0.0.1:" << port << "\nnode = " << node
                            << "\nreceive_from = " << fifo_ << "\ndiscover_heard = yes\n";
        pid_ = spawn(TERUNA_MQTT_BINARY, {"teruna-mqtt", "-c", conf},
                     {"TERUNA_SIM_LOG=" + own + "/sent.log", "TERUNA_SIM_VCD=" + own + "/sent.vcd"});
        const std::vector<std::string> status = hub.payloads("teruna/" + node + "/status", 1);
        online_ = !status.empty() && status.back() == "online";
        if (holdInput) {
            input_ = open(fifo_.c_str(), O_WRONLY);
        }
    }
    GatewayRun(const GatewayRun &) = delete;
    GatewayRun &operator=(const GatewayRun &) = delete;
    ~GatewayRun() {
        if (input_ >= 0) {
            close(input_);
        }
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        unlink(fifo_.c_str());
    }

    [[nodiscard]] bool online() const { return online_; }
    [[nodiscard]] const std::string &fifo() const { return fifo_; }

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

    [[nodiscard]] long residentKb() const { return broker::statusKb(pid_, "VmRSS:"); }
    [[nodiscard]] pid_t pid() const { return pid_; }

private:
    std::string fifo_;
    pid_t pid_ = 0;
    bool online_ = false;
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
    const std::int64_t startNs = common::monotonicNs();
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
    const double seconds = static_cast<double>(common::monotonicNs() - startNs) / 1e9;
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
        change(linecode::kStartUs, 0);
        for (int bit = linecode::kCodeBits - 1; bit >= 0; --bit) {
            if ((code >> bit & 1U) != 0) {
                change(linecode::kOneUs, level ^ 1);
            } else {
                change(linecode::kZeroHalfUs, level ^ 1);
                change(linecode::kZeroHalfUs, level ^ 1);
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
            presses += pressVcd(linecode::codeWord(6400, 3), kFramesEach, atUs);
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

// The pages that process `pid` holds locked, in KiB.
long lockedKb(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string word;
    while (rollup >> word && word != "Locked:") {
    }
    long kb = 0;
    rollup >> kb;
    return kb;
}

// Run as root, each press locks the gateway's memory: its resident size before the first press
// and after ten, and at most what a press locked, resident and mapped (what RLIMIT_MEMLOCK is
// checked against).
void measurePressMemory(int port, const std::string &dir) {
    constexpr std::size_t kPresses = 10;
    if (geteuid() != 0) {
        std::printf("memory of presses: not measured, as only root locks memory without a limit\n");
        return;
    }
    broker::Hub hub(port);
    GatewayRun gateway(port, dir, "presses", hub);
    const long beforeKb = gateway.residentKb();
    for (std::size_t i = 0; i < kPresses; ++i) {
        hub.publish("teruna/presses/send", R"({"remote": 6400, "button": 3})");
    }
    long residentLockedKb = 0;
    long mappedLockedKb = 0;
    for (int polls = 0; polls < 3000 && hub.on("teruna/presses/sent", 0).size() < kPresses; ++polls) {
        residentLockedKb = std::max(residentLockedKb, lockedKb(gateway.pid()));
        mappedLockedKb = std::max(mappedLockedKb, broker::statusKb(gateway.pid(), "VmLck:"));
        usleep(10'000);
    }
    std::printf("memory of presses: resident %ld KiB before the first, %ld KiB after %zu; a press locked at most "
                "%ld KiB resident, %ld KiB mapped\n",
                beforeKb, gateway.residentKb(), hub.on("teruna/presses/sent", 0).size(), residentLockedKb,
                mappedLockedKb);
}

// One press of `button` of remote 6400 as the built teruna sends it, on the virtual clock.
std::string pressDump(const std::string &dir, unsigned int button) {
    const std::string vcd = dir + "/press-" + std::to_string(button) + ".vcd";
    const pid_t pid = spawn(TERUNA_BINARY, {"teruna", "-g", "6400", "-n", std::to_string(button)},
                            {"TERUNA_SIM_VCD=" + vcd, "TERUNA_SIM_CLOCK=virtual"}, "/dev/null");
    waitpid(pid, nullptr, 0);
    std::ifstream file(vcd);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Writes `dump` into every FIFO at once, a writer each, closed as soon as it has written all:
// not one after another, for a dump is more than a pipe holds. Returns when writing began.
std::int64_t writeAtOnce(const std::vector<std::string> &fifos, const std::string &dump) {
    std::vector<pollfd> writers;
    for (const std::string &fifo : fifos) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, O_NONBLOCK);
            writers.push_back({fd, POLLOUT, 0});
        }
    }
    std::vector<std::size_t> written(writers.size(), 0);
    const std::int64_t beganNs = common::monotonicNs();
    for (std::size_t writing = writers.size(); writing > 0;) {
        if (poll(writers.data(), writers.size(), -1) < 0 && errno != EINTR) {
            break;
        }
        for (std::size_t i = 0; i < writers.size(); ++i) {
            if (writers[i].fd < 0 || writers[i].revents == 0) {
                continue;
            }
            const ssize_t n = write(writers[i].fd, dump.data() + written[i], dump.size() - written[i]);
            if (n > 0) {
                written[i] += static_cast<std::size_t>(n);
            }
            if (written[i] == dump.size() || (n < 0 && errno != EAGAIN)) {
                close(writers[i].fd);
                writers[i].fd = -1;
                --writing;
            }
        }
    }
    return beganNs;
}

struct FirstPublisher {
    bool measured = false;
    std::vector<double> latenciesMs;  // of the rounds in which a shared press came
    int notOne = 0;                   // rounds with other than one shared press
    std::size_t leastHeard = 0;       // presses heard by the gateway that heard fewest, warm-up included
};

constexpr int kRounds = 20;
// Buttons taken in turn, a round apart: a button's next press is well clear of its last one,
// which a dump written at once puts as long ago as the press lasts.
constexpr unsigned int kButtons = 4;
constexpr std::int64_t kRoundNs = 500'000'000;

// Writes `dump` into each FIFO `laterMs[i]` after the first (all at once without them).
// Returns when writing began.
std::int64_t writeInOrder(const std::vector<std::string> &fifos, const std::vector<int> &laterMs,
                          const std::string &dump) {
    if (laterMs.empty()) {
        return writeAtOnce(fifos, dump);
    }
    std::vector<std::size_t> order(fifos.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return laterMs[a] < laterMs[b]; });
    std::int64_t beganNs = 0;
    for (const std::size_t i : order) {
        if (beganNs != 0) {
            gpio::waitUntilNs(beganNs + laterMs[i] * 1'000'000LL);
        }
        const std::int64_t wroteNs = writeAtOnce({fifos[i]}, dump);
        beganNs = beganNs == 0 ? wroteNs : beganNs;
    }
    return beganNs;
}

// Gateways of the nodes `nodes` on a broker of their own in `dir`; each round feeds them all
// one dump, at once or `laterMs` apart. A first round of each button is not counted: it has
// them announce what they heard.
FirstPublisher firstPublisher(const std::string &dir, const std::vector<std::string> &nodes,
                              const std::vector<int> &laterMs = {}) {
    FirstPublisher result;
    std::filesystem::create_directory(dir);
    broker::Broker broker(MOSQUITTO, "", dir);
    if (!broker.ready()) {
        return result;
    }
    broker::Hub hub(broker.port);
    std::vector<std::unique_ptr<GatewayRun>> gateways;
    std::vector<std::string> fifos;
    for (const std::string &node : nodes) {
        gateways.push_back(std::make_unique<GatewayRun>(broker.port, dir, node, hub, false));
        fifos.push_back(gateways.back()->fifo());
        if (!gateways.back()->online()) {
            return result;
        }
    }
    // Each one's record, which the others read as it comes, and the broker keeps.
    for (const std::string &node : nodes) {
        if (hub.on("teruna/gateway/" + node, 1).empty()) {
            return result;
        }
    }
    broker::Hub later(broker.port);
    for (const std::string &node : nodes) {
        const std::vector<broker::Message> record = later.on("teruna/gateway/" + node, 1);
        if (record.empty() || !record.front().retained) {
            return result;
        }
    }
    std::vector<std::string> dumps;
    for (unsigned int button = 1; button <= kButtons; ++button) {
        dumps.push_back(pressDump(dir, button));
    }
    std::vector<std::int64_t> writtenNs;
    for (int round = -static_cast<int>(kButtons); round < kRounds; ++round) {
        const std::int64_t beganNs = writeInOrder(
            fifos, laterMs, dumps[static_cast<std::size_t>(round + static_cast<int>(kButtons)) % kButtons]);
        if (round >= 0) {
            writtenNs.push_back(beganNs);
        }
        gpio::waitUntilNs(beganNs + kRoundNs);
    }
    // A round's shared presses are those of its button until the button's next round.
    for (std::size_t round = 0; round < writtenNs.size(); ++round) {
        const std::string topic = "teruna/remote/6400/button/" + std::to_string(round % kButtons + 1);
        const std::int64_t untilNs =
            round + kButtons < writtenNs.size() ? writtenNs[round + kButtons] : common::monotonicNs();
        std::vector<std::int64_t> arrivedNs;
        for (const broker::Message &message : hub.on(topic, 0)) {
            if (message.arrivedNs >= writtenNs[round] && message.arrivedNs < untilNs) {
                arrivedNs.push_back(message.arrivedNs);
            }
        }
        if (!arrivedNs.empty()) {
            const std::int64_t firstNs = *std::min_element(arrivedNs.begin(), arrivedNs.end());
            result.latenciesMs.push_back(static_cast<double>(firstNs - writtenNs[round]) / 1e6);
        }
        result.notOne += arrivedNs.size() == 1 ? 0 : 1;
    }
    result.leastHeard = writtenNs.size() + kButtons;
    for (const std::string &node : nodes) {
        result.leastHeard = std::min(result.leastHeard, hub.on("teruna/" + node + "/received", 0).size());
    }
    result.measured = true;
    return result;
}

// The first shared press, with one gateway alone and with two and three that hear the same
// press: at once, and in the worst order, where the one that publishes hears it last.
void measureFirstPublisher(const std::string &dir) {
    const FirstPublisher one = firstPublisher(dir + "/one", {"alone"});
    const FirstPublisher two = firstPublisher(dir + "/two", {"duo-a", "duo-b"});
    const FirstPublisher three = firstPublisher(dir + "/three", {"trio-a", "trio-b", "trio-c"});
    const FirstPublisher worst = firstPublisher(dir + "/worst", {"worst-a", "worst-b", "worst-c"}, {45, 22, 0});
    const char *what = "dump written to the first shared press at a hub";
    for (const FirstPublisher *run : {&one, &two, &three, &worst}) {
        if (!run->measured || run->latenciesMs.empty()) {
            std::printf("%s: not measured, the gateways did not come online, know one another or publish\n", what);
            return;
        }
    }
    const auto line = [&](const char *gateways, const FirstPublisher &run) {
        std::printf("%s, %s, %zu of %d rounds: p50 %.2f ms, p95 %.2f ms, max %.2f ms; rounds with other than 1 "
                    "shared press: %d; each gateway heard %zu of %u presses\n",
                    what, gateways, run.latenciesMs.size(), kRounds, percentile(run.latenciesMs, 0.5),
                    percentile(run.latenciesMs, 0.95),
                    *std::max_element(run.latenciesMs.begin(), run.latenciesMs.end()), run.notOne, run.leastHeard,
                    kRounds + kButtons);
    };
    line("one gateway", one);
    line("two gateways", two);
    line("three gateways", three);
    line("three gateways, c first, b 22 ms and a 45 ms later", worst);
    for (const auto &[name, run] : {std::pair<const char *, const FirstPublisher *>{"two", &two},
                                    {"three", &three},
                                    {"three in the worst order", &worst}}) {
        std::printf("%s: p95 of %s gateways less that of one: %+.2f ms\n", what, name,
                    percentile(run->latenciesMs, 0.95) - percentile(one.latenciesMs, 0.95));
    }
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> known = {"listening", "memory", "latency", "gateways"};
    const std::set<std::string> named(argv + 1, argv + argc);
    for (const std::string &name : named) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            std::fprintf(stderr, "usage: teruna-mqtt-bench [listening|memory|latency|gateways]...\n");
            return 2;
        }
    }
    const auto wanted = [&](const char *measurement) { return named.empty() || named.count(measurement) != 0; };
    char dir[] = "/tmp/teruna-mqtt-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("teruna-mqtt-bench: mkdtemp");
        return 1;
    }
    if (wanted("listening") || wanted("memory") || wanted("latency")) {
        broker::Broker broker(MOSQUITTO, "", dir);
        if (!broker.ready()) {
            std::printf("not measured: mosquitto did not start (Debian: apt-get install mosquitto)\n");
            std::filesystem::remove_all(dir);
            return 1;
        }
        if (wanted("listening")) {
            measureListening(broker.port, dir);
        }
        if (wanted("memory")) {
            measureMemory(broker.port, dir);
            measurePressMemory(broker.port, dir);
        }
        if (wanted("latency")) {
            measureLatency(broker.port);
        }
        broker.stop();
    }
    if (wanted("gateways")) {
        measureFirstPublisher(dir);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
