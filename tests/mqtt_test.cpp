// SPDX-License-Identifier: MIT
// teruna-mqtt: the built gateway on the simulated pins against a mosquitto broker of its own on
// 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

#include "TerunaRx.h"
#include "broker.h"
#include "child.h"
#include "clock.h"
#include "clocks.h"
#include "config.h"
#include "connection.h"
#include "messages.h"
#include "mqtt_under_test.h"
#include "queue.h"
#include "recording.h"
#include "requests.h"
#include "vcd.h"

namespace {

using broker::Broker;

// Every hub of these tests checks, when it goes, that no press it got is one Home Assistant would drop.
class Hub : public broker::Hub {
public:
    using broker::Hub::Hub;
    Hub(const Hub &) = delete;
    Hub &operator=(const Hub &) = delete;
    ~Hub() { EXPECT_EQ(eventsTheHubWouldDrop(), std::vector<std::string>{}); }
};
using nlohmann::json;
using namespace std::string_literals;
using requests::kBadRequests;

const std::string kBase = "teruna/test";

std::string sharedPress(int remote, int button) {
    return "teruna/remote/" + std::to_string(remote) + "/button/" + std::to_string(button);
}

class Gateway : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(MOSQUITTO).empty() || access(MOSQUITTO, X_OK) != 0) {
            GTEST_SKIP() << "mosquitto is not installed (Debian: mosquitto); the tests against a broker are skipped";
        }
    }

    // Starts the gateway on the broker with the configuration lines `extra`, on the virtual clock
    // unless `realClock`, and waits until it is online.
    void start(Broker &broker, Hub &hub, const std::string &extra, bool realClock = false) {
        ASSERT_TRUE(broker.ready());
        const std::size_t online = onlines(hub, kBase);
        gateway_ = launch(dir_, "broker = mqtt://127.0.0.1:" + std::to_string(broker.port) + "\nnode = test\n" + extra,
                          realClock);
        ASSERT_TRUE(hub.saw(kBase + "/status", "online", online + 1));
    }

    // Starts the gateway listening on a FIFO of its folder, and returns the FIFO.
    std::string listenOnFifo(Broker &broker, Hub &hub, const std::string &extra = "") {
        const std::string fifo = dir_ + "/fifo";
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        start(broker, hub, "receive_from = " + fifo + "\n" + extra);
        return fifo;
    }

    static std::size_t onlines(Hub &hub, const std::string &base) {
        const auto said = hub.payloads(base + "/status", 0);
        return static_cast<std::size_t>(std::count(said.begin(), said.end(), "online"));
    }

    // A gateway with the configuration `conf`, its files in `folder`.
    static std::unique_ptr<child::Child> launch(const std::string &folder, const std::string &conf,
                                                bool realClock = false) {
        std::ofstream(folder + "/mqtt.conf") << conf;
        std::vector<std::string> env = {"TERUNA_SIM_LOG=" + folder + "/sent.log",
                                        "TERUNA_SIM_VCD=" + folder + "/sent.vcd"};
        if (!realClock) {
            env.emplace_back("TERUNA_SIM_CLOCK=virtual");
        }
        return std::make_unique<child::Child>(std::vector<std::string>{"-c", folder + "/mqtt.conf"},
                                              child::environmentWith(env), "", TERUNA_MQTT_BINARY, "teruna-mqtt");
    }

    child::Outcome stop(int signo = SIGTERM) {
        kill(gateway_->pid(), signo);
        return gateway_->finish();
    }

    // What teruna-sniff hears in what the gateway sent.
    std::string heardOnThePin() {
        return child::Child({"-f", dir_ + "/sent.vcd"}, child::environmentWith({}), "", TERUNA_SNIFF_BINARY,
                            "teruna-sniff")
            .finish()
            .out;
    }

    // The dump of one press as teruna sends it, on the virtual clock.
    std::string pressDump(int remote, int button) {
        const std::string vcd = dir_ + "/heard.vcd";
        child::Child({"-g", std::to_string(remote), "-n", std::to_string(button)},
                     child::environmentWith({"TERUNA_SIM_VCD=" + vcd, "TERUNA_SIM_CLOCK=virtual"}))
            .finish();
        return recording::readFile(vcd);
    }

    // Writes one press, as teruna sends it, into the gateway's FIFO.
    void playPress(int remote, int button) { std::ofstream(dir_ + "/fifo") << pressDump(remote, button); }

    child::ScratchDir scratch_{"teruna-mqtt"};
    const std::string dir_ = scratch_.path();
    std::unique_ptr<child::Child> gateway_;
};

TEST_F(Gateway, SendsARequestAndSaysSo) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    start(broker, hub, "button lamp = 1234/5\n");
    hub.publish(kBase + "/send", R"({"remote": 6400, "button": 3, "id": "one"})");
    hub.publish(kBase + "/button/lamp/press", "PRESS");
    const auto sent = hub.payloads(kBase + "/sent", 2);
    ASSERT_EQ(sent.size(), 2u);
    const json first = json::parse(sent[0]);
    EXPECT_EQ(first["remote"], 6400);
    EXPECT_EQ(first["button"], 3);
    EXPECT_EQ(first["id"], "one");
    EXPECT_EQ(first["time"].get<std::string>().size(), std::string("2026-12-08T08:31:20.123Z").size());
    EXPECT_TRUE(first["queued_ms"].is_number() && first["took_ms"].is_number());
    EXPECT_EQ(json::parse(sent[1])["remote"], 1234);
    Hub later(broker.port);
    const auto config = later.on("homeassistant/button/test/lamp/config", 1);
    ASSERT_EQ(config.size(), 1u);
    EXPECT_TRUE(config[0].retained);
    EXPECT_EQ(json::parse(config[0].payload)["command_topic"], kBase + "/button/lamp/press");
    EXPECT_EQ(stop().status, 0);
    EXPECT_EQ(heardOnThePin(), "remote 6400 button 3\nremote 1234 button 5\n");
}

TEST_F(Gateway, RefusesBadRequestsAndSendsNothing) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    // A retained request would press again at every start: refused, by its id.
    const std::string kept = R"({"remote": 6400, "button": 3, "id": "kept"})";
    hub.publish(kBase + "/send", kept, true);
    ASSERT_EQ(hub.on(kBase + "/send", 1).size(), 1u);
    start(broker, hub, "");
    ASSERT_EQ(hub.payloads(kBase + "/error", 1).at(0),
              mqtt::errorJson("retained requests are not taken", kept, "kept"));
    for (const auto &row : kBadRequests) {
        hub.publish(kBase + "/send", row.payload);
    }
    hub.publish(kBase + "/button/nobody/press", "");
    const auto errors = hub.payloads(kBase + "/error", std::size(kBadRequests) + 2);
    ASSERT_EQ(errors.size(), std::size(kBadRequests) + 2);
    for (std::size_t i = 0; i < std::size(kBadRequests); ++i) {
        EXPECT_EQ(errors[i + 1], mqtt::errorJson(kBadRequests[i].reason, kBadRequests[i].payload, kBadRequests[i].id));
    }
    EXPECT_EQ(json::parse(errors.back())["reason"], "unknown button 'nobody'");
    EXPECT_EQ(stop().status, 0);
    EXPECT_EQ(heardOnThePin(), "");
}

TEST_F(Gateway, SendsABurstInOrder) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    start(broker, hub, "queue = 20\n");
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        hub.publish(kBase + "/send", R"({"remote": 6400, "button": )" + std::to_string(i) + "}");
        expected += "remote 6400 button " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(hub.on(kBase + "/sent", 20).size(), 20u);
    EXPECT_EQ(stop().status, 0);
    EXPECT_EQ(heardOnThePin(), expected);
}

// Presses on the real clock, which spin a core at real-time priority: these run alone.
class RealClockGateway : public Gateway {};

TEST_F(RealClockGateway, RefusesWhatOverflowsTheQueueAndCancelsWhatWaitsAtStop) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    start(broker, hub, "queue = 2\n", true);
    for (int i = 0; i < 6; ++i) {
        hub.publish(kBase + "/send", R"({"remote": 6400, "button": )" + std::to_string(i) + "}");
    }
    // One on the air and two waiting; the first may also wait an instant.
    ASSERT_GE(hub.payloads(kBase + "/error", 3).size(), 3u);
    // SIGTERM during the first press, which lasts most of a second once it has begun: it ends
    // whole, with the pin low; what waits is cancelled.
    usleep(300'000);
    const child::Outcome outcome = stop();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    std::vector<std::string> reasons;
    for (const std::string &error : hub.payloads(kBase + "/error", 5)) {
        reasons.push_back(json::parse(error)["reason"]);
    }
    ASSERT_EQ(reasons.size(), 5u);
    const auto full = std::count(reasons.begin(), reasons.end(), "queue full");
    EXPECT_TRUE(full == 3 || full == 4) << full;
    EXPECT_TRUE(std::all_of(reasons.begin() + full, reasons.end(), [](auto &r) { return r == "cancelled at stop"; }));
    EXPECT_EQ(hub.payloads(kBase + "/status", 2).back(), "offline");
    const recording::Transmission sent =
        recording::decode(recording::parseLog(recording::readFile(dir_ + "/sent.log")), 0);
    EXPECT_TRUE(sent.faults.empty()) << sent.faults.front();
    EXPECT_EQ(sent.frames.size(), 150u);
    EXPECT_TRUE(std::all_of(sent.frames.begin(), sent.frames.end(),
                            [](const recording::Frame &frame) { return frame.code == 6400u << 7; }));
    EXPECT_EQ(sent.levelAtEnd, 0);
}

TEST_F(Gateway, PublishesWhatItHearsAndAnnouncesIt) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    listenOnFifo(broker, hub, "discover_heard = yes\n");
    playPress(6400, 3);
    ASSERT_TRUE(hub.saw(kBase + "/remote/6400/button/3", "press"));
    // A second press a second after the first, which a dump written at once puts as long ago as
    // the press lasts: two presses still.
    usleep(1'000'000);
    playPress(6400, 3);
    const auto received = hub.payloads(kBase + "/received", 2);
    ASSERT_EQ(received.size(), 2u);
    const json press = json::parse(received[0]);
    for (const char *key : {"frames", "start_us", "one_us", "zero_us", "scale", "skew_us", "time"}) {
        EXPECT_TRUE(press.contains(key)) << key;
    }
    EXPECT_EQ(press["remote"], 6400);
    EXPECT_EQ(press["node"], "test");
    EXPECT_EQ(hub.payloads(kBase + "/remote/6400/button/3", 2), (std::vector<std::string>{"press", "press"}));
    EXPECT_EQ(stop().status, 0);
    EXPECT_EQ(hub.payloads("teruna/remote/6400/button/3", 2), (std::vector<std::string>{"press", "press"}));
    // Announced once, the same from every gateway, and kept for a hub that comes later.
    Hub later(broker.port);
    const std::string topic = "homeassistant/device_automation/teruna_remote_6400/button_3/config";
    const auto trigger = later.on(topic, 1);
    ASSERT_EQ(trigger.size(), 1u);
    EXPECT_TRUE(trigger[0].retained);
    const json config = json::parse(trigger[0].payload);
    EXPECT_EQ(config["type"], "button_short_press");
    EXPECT_EQ(config["topic"], "teruna/remote/6400/button/3");
    EXPECT_FALSE(config.contains("availability"));
    EXPECT_EQ(config["origin"]["name"], "teruna-mqtt");
    EXPECT_EQ(hub.on(topic, 0).size(), 1u);
}

// Its own press, heard back by its receiver, reaches no hub that might answer it with another.
TEST_F(Gateway, PublishesNoneOfItsOwnPressesHeardBack) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    listenOnFifo(broker, hub);
    // Made beforehand: the press must come while the transmitter was on the air lately.
    const std::string echo = pressDump(6400, 3);
    hub.publish(kBase + "/send", R"({"remote": 6400, "button": 3})");
    ASSERT_EQ(hub.on(kBase + "/sent", 1).size(), 1u);
    std::ofstream(dir_ + "/fifo") << echo;
    usleep(600'000);
    playPress(6400, 4);
    ASSERT_EQ(hub.on(kBase + "/received", 1).size(), 1u);
    EXPECT_EQ(json::parse(hub.payloads(kBase + "/received", 1).at(0))["button"], 4);
    EXPECT_EQ(hub.on(sharedPress(6400, 3), 0).size(), 0u);
    EXPECT_EQ(stop().status, 0);
}

TEST_F(Gateway, EndsWithStatus1WhenItsInputGoesAway) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    const std::string fifo = listenOnFifo(broker, hub);
    const int writer = open(fifo.c_str(), O_WRONLY);
    unlink(fifo.c_str());
    close(writer);
    const child::Outcome outcome = gateway_->finish();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("teruna-mqtt: cannot read " + fifo + ": No such file or directory\n"), std::string::npos)
        << outcome.err;
    EXPECT_TRUE(hub.saw(kBase + "/status", "offline"));
}

TEST_F(Gateway, ComesBackAfterTheBrokerWithoutLosingAPress) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    auto hub = std::make_unique<Hub>(broker.port, "hub");
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    start(broker, *hub, "receive_from = " + dir_ + "/fifo\nremote hall = 6400/6-7\n");
    broker.stop();
    // Both presses reach BASE/received, but no automation acts on the one that is old by then.
    playPress(6400, 6);
    sleep(6);
    playPress(6400, 7);
    broker.start();
    EXPECT_TRUE(hub->saw(kBase + "/status", "online", 2));
    EXPECT_TRUE(hub->saw(kBase + "/remote/6400/button/7", "press"));
    EXPECT_TRUE(hub->saw(sharedPress(6400, 7), "press"));
    const auto received = hub->payloads(kBase + "/received", 2);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(json::parse(received[0])["button"], 6);
    EXPECT_TRUE(hub->on(sharedPress(6400, 6), 0).empty());
    EXPECT_TRUE(hub->on(kBase + "/remote/6400/button/6", 0).empty());
    EXPECT_EQ(hub->on("teruna/remote/6400/event", 0).size(), 1u);
    // As a broker delivers a request again after a reconnect.
    hub->publish(kBase + "/send", R"({"remote": 6400, "button": 1, "id": "x"})");
    hub->publish(kBase + "/send", R"({"remote": 6400, "button": 1, "id": "x"})");
    EXPECT_EQ(json::parse(hub->payloads(kBase + "/error", 1).at(0))["reason"], "id already taken within ten minutes");
    EXPECT_EQ(hub->on(kBase + "/sent", 1).size(), 1u);
    const child::Outcome outcome = stop();
    EXPECT_EQ(heardOnThePin(), "remote 6400 button 1\n");
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(broker.port);
    EXPECT_EQ(outcome.err, "teruna-mqtt: connected to the broker " + url + "\nteruna-mqtt: " + url +
                               ": lost the connection: The connection was lost; trying again every half second\n"
                               "teruna-mqtt: " +
                               url +
                               ": cannot reach it: Connection refused; trying again every half second\n"
                               "teruna-mqtt: connected to the broker " +
                               url + "\n");
}

TEST_F(Gateway, LeavesItsLastWillWhenKilled) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    start(broker, hub, "");
    EXPECT_EQ(stop(SIGKILL).status, 128 + SIGKILL);
    EXPECT_EQ(hub.payloads(kBase + "/status", 2).back(), "offline");
}

TEST_F(Gateway, SaysGoodbyeBeforeASignalEndsIt) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    start(broker, hub, "");
    EXPECT_EQ(stop(SIGUSR1).status, 128 + SIGUSR1);
    EXPECT_EQ(hub.payloads(kBase + "/status", 2).back(), "offline");
}

TEST_F(Gateway, SaysOnceThatThePasswordIsWrongAndTriesAgain) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_, "gateway");
    ASSERT_TRUE(broker.ready());
    std::ofstream(dir_ + "/password") << "wrong\n";
    std::ofstream(dir_ + "/mqtt.conf") << "broker = mqtt://127.0.0.1:" << broker.port
                                       << "\nusername = gateway\npassword_file = " << dir_ << "/password\n";
    child::Child gateway({"-c", dir_ + "/mqtt.conf"},
                         child::environmentWith({"TERUNA_SIM_CLOCK=virtual", "TERUNA_SIM_VCD=" + dir_ + "/sent.vcd"}),
                         "", TERUNA_MQTT_BINARY, "teruna-mqtt");
    sleep(4);  // the first try and two more
    ASSERT_TRUE(gateway.running());
    kill(gateway.pid(), SIGTERM);
    const child::Outcome outcome = gateway.finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "teruna-mqtt: mqtt://127.0.0.1:" + std::to_string(broker.port) +
                               ": the broker refused the connection: Not authorized; trying again"
                               ", at longest every 60 s\n");
    std::ifstream log(dir_ + "/broker.log");
    const std::string seen((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen.find("secret"), std::string::npos);
}

// Status 2, which the service does not restart on, is what only its administrator can mend.
TEST_F(Gateway, EndsWithTwoForWhatItsAdministratorMustMendAndOneForTheRest) {
    const std::string conf = dir_ + "/mqtt.conf";
    const std::string unreachable = "broker = mqtt://127.0.0.1:1\n";
    // A file the configuration takes and open(2) refuses, to root too.
    const std::string socketPath = dir_ + "/socket";
    const int bound = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(bound, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(mkfifo((dir_ + "/fifo.conf").c_str(), 0600), 0);
    struct Case {
        const char *what;
        std::vector<std::string> arguments;
        std::string conf;
        std::vector<std::string> env;
        int status;
        std::string said;
    };
    const Case cases[] = {
        {"bad usage", {"-x"}, "", {}, 2, "teruna-mqtt: unknown option -x; try 'teruna-mqtt -h'\n"},
        {"no file after -c", {"-c"}, "", {}, 2, "teruna-mqtt: option -c needs a value; try 'teruna-mqtt -h'\n"},
        {"an empty path", {"-c", ""}, "", {}, 2, "teruna-mqtt: -c takes a path, not ''; try 'teruna-mqtt -h'\n"},
        {"an argument",
         {"-c", conf, "now"},
         "",
         {},
         2,
         "teruna-mqtt: unexpected argument 'now'; try 'teruna-mqtt -h'\n"},
        {"a bad configuration",
         {"-c", conf},
         unreachable + "queue = lots\n",
         {},
         2,
         "teruna-mqtt: " + conf + ":2: queue must be 1 to 4096, not 'lots'\n"},
        {"a configuration it cannot read",
         {"-c", dir_ + "/none.conf"},
         "",
         {},
         2,
         "teruna-mqtt: cannot read " + dir_ + "/none.conf: No such file or directory\n"},
        {"a directory as the configuration",
         {"-c", dir_},
         "",
         {},
         2,
         "teruna-mqtt: " + dir_ + " is a directory, not a configuration\n"},
        {"a FIFO as the configuration, which no one writes",
         {"-c", dir_ + "/fifo.conf"},
         "",
         {},
         2,
         "teruna-mqtt: " + dir_ + "/fifo.conf is not a regular file, not a configuration\n"},
        {"GPIO pins it cannot set up",
         {"-c", conf},
         unreachable,
         {"TERUNA_SIM_CLOCK=wall"},
         1,
         "teruna-mqtt: cannot set up the GPIO pins: Invalid argument\n"},
        {"a device that holds no dump",
         {"-c", conf},
         unreachable + "receive_from = /dev/zero\n",
         {"TERUNA_SIM_CLOCK=virtual"},
         1,
         "teruna-mqtt: cannot read /dev/zero: "},
        {"a listener that cannot start",
         {"-c", conf},
         unreachable + "receive_from = " + socketPath + "\n",
         {"TERUNA_SIM_CLOCK=virtual"},
         1,
         "teruna-mqtt: cannot read " + socketPath + ": No such device or address\n"},
    };
    for (const Case &c : cases) {
        std::ofstream(conf) << c.conf;
        const child::Outcome outcome =
            child::Child(c.arguments, child::environmentWith(c.env), "", TERUNA_MQTT_BINARY, "teruna-mqtt").finish();
        EXPECT_EQ(outcome.status, c.status) << c.what;
        if (c.status == 2) {
            EXPECT_EQ(outcome.err, c.said) << c.what;
        } else {
            // The client, started by then, may have said first that the broker is not there.
            EXPECT_NE(outcome.err.find(c.said), std::string::npos) << c.what << ": " << outcome.err;
        }
    }
    close(bound);
}

}  // namespace

namespace {

std::string connectedOnly(const Broker &broker) {
    return "teruna-mqtt: connected to the broker mqtt://127.0.0.1:" + std::to_string(broker.port) + "\n";
}

// Each writer opens the FIFO, writes its dump and closes it as fast as it can: the next one
// writes before the gateway has read the end of the last.
TEST_F(Gateway, ReadsEachDumpOfWritersThatFollowOneAnotherClosely) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    const std::string fifo = listenOnFifo(broker, hub);
    std::vector<std::string> dumps;
    for (int button = 1; button <= 4; ++button) {
        dumps.push_back(pressDump(6400, button));
    }
    for (const std::string &dump : dumps) {
        const int writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        for (std::size_t at = 0; at < dump.size();) {
            const ssize_t n = write(writer, dump.data() + at, dump.size() - at);
            ASSERT_GT(n, 0);
            at += static_cast<std::size_t>(n);
        }
        close(writer);
    }
    const auto received = hub.payloads(kBase + "/received", 4);
    ASSERT_EQ(received.size(), 4u);
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(json::parse(received[i])["button"], i + 1) << received[i];
    }
    const child::Outcome outcome = stop();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, connectedOnly(broker));
}

TEST_F(Gateway, TakesAWriterThatWroteNothingForNoTrouble) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    const std::string fifo = listenOnFifo(broker, hub);
    close(open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    usleep(100'000);  // the gateway reads its end before the next writer comes
    playPress(6400, 5);
    EXPECT_TRUE(hub.saw(kBase + "/remote/6400/button/5", "press"));
    EXPECT_TRUE(gateway_->running());
    const child::Outcome outcome = stop();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, connectedOnly(broker));
}

// "2026-12-08T08:31:20.123Z" in microseconds since the epoch.
std::int64_t parseUtc(const std::string &text) {
    tm parts{};
    int ms = 0;
    EXPECT_EQ(std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                          &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms),
              7)
        << text;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&parts)) * 1000000 + ms * 1000;
}

// What the gateway publishes of a press is what teruna-sniff prints of it, but for the time:
// a dump keeps a clock of its own, and a press read from it is timed by how far behind the
// dump's latest time it began. Remote 0 button 0 has no one to measure.
TEST_F(Gateway, PublishesWhatTerunaSniffPrintsTimedWhenThePressBegan) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    listenOnFifo(broker, hub);
    const std::string dump = pressDump(0, 0);
    std::ofstream(dir_ + "/press.vcd") << dump;
    const child::Outcome sniffed = child::Child({"-F", "json", "-f", dir_ + "/press.vcd"}, child::environmentWith({}),
                                                "", TERUNA_SNIFF_BINARY, "teruna-sniff")
                                       .finish();
    const json printed = json::parse(sniffed.out);
    std::vector<rx::Press> presses;
    rx::TerunaRx receiver([&](const rx::Press &press) { presses.push_back(press); });
    rx::VcdWire wire;
    ASSERT_EQ(rx::readVcdText(dump, "", wire, [&](double timeUs, int level) { receiver.level(timeUs, level); }), "");
    receiver.end(wire.endUs);
    ASSERT_EQ(presses.size(), 1u);

    const std::int64_t writtenUs = common::realtimeUs();
    std::ofstream(dir_ + "/fifo") << dump;
    const auto received = hub.payloads(kBase + "/received", 1);
    const std::int64_t arrivedUs = common::realtimeUs();
    ASSERT_EQ(received.size(), 1u);
    const json heard = json::parse(received[0]);
    int shared = 0;
    for (const auto &[key, value] : printed.items()) {
        if (heard.contains(key)) {
            EXPECT_EQ(heard[key], value) << key;
            ++shared;
        }
    }
    EXPECT_EQ(shared, 8) << received[0];
    EXPECT_TRUE(heard["one_us"].is_null());
    EXPECT_EQ(heard["node"], "test");
    const std::int64_t beganUs = parseUtc(heard["time"]);
    const auto lastsUs = static_cast<std::int64_t>(presses[0].endUs - presses[0].timeUs);
    const auto dumpUs = static_cast<std::int64_t>(wire.endUs - presses[0].timeUs);
    EXPECT_LE(beganUs, arrivedUs - lastsUs + 1000);
    EXPECT_GE(beganUs, writtenUs - dumpUs - 1000);
    EXPECT_EQ(stop().status, 0);
}

const std::string kPrefix = "homeassistant/";
const std::string kLampConfig = kPrefix + "button/test/lamp/config";
const std::string kFanConfig = kPrefix + "button/test/fan/config";
const std::string kEventConfig = kPrefix + "event/teruna_remote_6400/press/config";

std::string triggerConfig(int remote, int button) {
    return kPrefix + "device_automation/teruna_remote_" + std::to_string(remote) + "/button_" + std::to_string(button) +
           "/config";
}

TEST_F(Gateway, KeepsDiscoveryTrueToTheConfigurationAcrossReloads) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    const std::string conf = "broker = mqtt://127.0.0.1:" + std::to_string(broker.port) + "\nnode = test\n";
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    const std::string input = "receive_from = " + dir_ + "/fifo\n";
    start(broker, hub,
          input + "button lamp = 1/1\nbutton fan = 1/2\nremote hall_remote = 6400/1-2\ndiscover_heard = yes\n");
    ASSERT_EQ(hub.on(kFanConfig, 1).size(), 1u);
    playPress(17, 1);
    ASSERT_EQ(hub.on(triggerConfig(17, 1), 1).size(), 1u);
    const json event = json::parse(hub.payloads(kEventConfig, 1).at(0));
    EXPECT_EQ(event["event_types"], json::array({"button_1", "button_1_long", "button_2", "button_2_long"}));
    EXPECT_TRUE(event["name"].is_null());  // the device's
    EXPECT_EQ(event["device"]["name"], "Hall remote");
    EXPECT_EQ(json::parse(hub.payloads(kLampConfig, 1).at(0))["name"], "Lamp");
    const json link = json::parse(hub.payloads(kPrefix + "binary_sensor/test/connectivity/config", 1).at(0));
    EXPECT_EQ(link["state_topic"], kBase + "/status");
    EXPECT_EQ(link["device"]["identifiers"][0], "teruna_test");
    ASSERT_EQ(hub.on(triggerConfig(6400, 2), 1).size(), 1u);

    // A bad file is said, and the configuration in force stays.
    std::ofstream(dir_ + "/mqtt.conf") << conf << input << "queue = lots\n";
    kill(gateway_->pid(), SIGHUP);
    ASSERT_TRUE(gateway_->waitForErr("not 'lots'\n"));
    // So is an empty one, as an editor leaves it for an instant.
    std::ofstream(dir_ + "/mqtt.conf", std::ios::trunc).flush();
    kill(gateway_->pid(), SIGHUP);
    ASSERT_TRUE(gateway_->waitForErr("mqtt.conf is empty: the configuration in force stays\n"));
    std::ofstream(dir_ + "/mqtt.conf") << conf << input
                                       << "button lamp = 1/1\nremote hall_remote = 6400/1\ndiscover_heard = no\n";
    kill(gateway_->pid(), SIGHUP);
    EXPECT_TRUE(hub.saw(kFanConfig, ""));
    EXPECT_TRUE(hub.saw(triggerConfig(6400, 2), ""));
    EXPECT_EQ(json::parse(hub.payloads(kEventConfig, 2).at(1))["event_types"],
              json::array({"button_1", "button_1_long"}));
    hub.publish(kBase + "/button/lamp/press", "PRESS");
    EXPECT_EQ(hub.on(kBase + "/sent", 1).size(), 1u);
    const child::Outcome outcome = stop();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, connectedOnly(broker) + "teruna-mqtt: learnt remote 17 button 1\nteruna-mqtt: " + dir_ +
                               "/mqtt.conf:4: queue must be 1 to 4096, not 'lots'\nteruna-mqtt: " + dir_ +
                               "/mqtt.conf is empty: the configuration in force stays\n");
    // A hub that comes later finds what the configuration has and what was learnt, and nothing else.
    Hub later(broker.port);
    ASSERT_EQ(later.on(kLampConfig, 1).size(), 1u);
    EXPECT_EQ(later.on(triggerConfig(6400, 1), 1).size(), 1u);
    EXPECT_EQ(later.on(triggerConfig(17, 1), 1).size(), 1u);
    EXPECT_TRUE(later.on(kFanConfig, 0).empty());
    EXPECT_TRUE(later.on(triggerConfig(6400, 2), 0).empty());

    // Started again without the remote: what it announced of it goes too.
    start(broker, hub, "button lamp = 1/1\n");
    EXPECT_TRUE(hub.saw(triggerConfig(6400, 1), ""));
    EXPECT_TRUE(hub.saw(kEventConfig, ""));
    EXPECT_EQ(stop().status, 0);
}

// Outside the learning window a remote no gateway announces reaches no hub; inside it, its
// configs come before its first event; what the hub deletes stays deleted; a long press is one.
TEST_F(Gateway, LearnsRemotesWhileTheWindowIsOpenAndForgetsWhatTheHubDeletes) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    listenOnFifo(broker, hub, "remote hall = 6400/1,3\n");
    ASSERT_TRUE(hub.saw(kBase + "/learning", "OFF"));
    EXPECT_EQ(json::parse(hub.payloads(kPrefix + "button/test/learn/config", 1).at(0))["command_topic"],
              kBase + "/learn");
    playPress(6400, 2);
    playPress(6400, 1);
    ASSERT_EQ(hub.on(kBase + "/received", 2).size(), 2u);
    ASSERT_EQ(hub.on(sharedPress(6400, 1), 1).size(), 1u);
    EXPECT_EQ(hub.on(sharedPress(6400, 2), 0).size(), 0u);  // it would have come first

    hub.publish(kBase + "/learn", "PRESS");
    ASSERT_TRUE(hub.saw(kBase + "/learning", "ON"));
    playPress(6400, 2);
    playPress(17, 5);
    ASSERT_TRUE(hub.saw(sharedPress(17, 5), "press"));
    EXPECT_TRUE(hub.saw(sharedPress(6400, 2), "press"));
    const json learnt = json::parse(hub.payloads(kPrefix + "event/teruna_remote_17/press/config", 1).at(0));
    EXPECT_EQ(learnt["device"]["name"], "Teruna remote 17");
    EXPECT_EQ(learnt["event_types"], json::array({"button_5", "button_5_long"}));
    EXPECT_EQ(json::parse(hub.payloads(kEventConfig, 2).at(1))["event_types"],
              json::array({"button_1", "button_1_long", "button_2", "button_2_long", "button_3", "button_3_long"}));

    // The user deletes the learnt remote's device, and a declared trigger, in the hub.
    const std::string remote17 = kPrefix + "event/teruna_remote_17/press/config";
    for (const std::string &topic :
         {remote17, triggerConfig(17, 5), kPrefix + "device_automation/teruna_remote_17/button_5_long/config"}) {
        hub.publish(topic, "", true);
    }
    hub.publish(triggerConfig(6400, 3), "", true);
    EXPECT_TRUE(gateway_->waitForErr("the hub deleted remote 6400 button 3, which the configuration declares: it "
                                     "comes back at the hub's next start unless its remote line goes\n"));
    const json heard = json::array({json::array({6400, 2})});
    const auto lastRecord = [&] { return json::parse(hub.payloads("teruna/gateway/test", 0).back()); };
    for (int tries = 0; lastRecord()["heard"] != heard && tries < 500; ++tries) {
        usleep(10'000);
    }
    ASSERT_EQ(lastRecord()["heard"], heard);
    const std::size_t records = hub.on("teruna/gateway/test", 0).size();
    hub.publish(kPrefix + "status", "online");
    ASSERT_EQ(hub.on("teruna/gateway/test", records + 1).size(), records + 1);  // announced again, the record last
    EXPECT_EQ(lastRecord()["heard"], heard);
    const auto configs = hub.payloads(remote17, 0);
    EXPECT_EQ(configs.back(), "");  // not announced again
    EXPECT_EQ(hub.payloads(triggerConfig(6400, 3), 0).back().empty(), false);

    // Held as long as long_press_ms, a press is a long one. A retained request to learn, which
    // would open the window at every restart, is refused when the reload reads it back.
    hub.publish(kBase + "/learn", "PRESS", true);
    ASSERT_TRUE(hub.saw(kBase + "/learning", "ON", 2));  // taken, as it came live
    std::ofstream(dir_ + "/mqtt.conf") << "broker = mqtt://127.0.0.1:" << broker.port << "\nnode = test\n"
                                       << "receive_from = " << dir_ << "/fifo\nremote hall = 6400/1,3\n"
                                       << "long_press_ms = 800\n";
    kill(gateway_->pid(), SIGHUP);
    ASSERT_TRUE(hub.saw(kBase + "/learning", "ON", 3));  // read again, the window still open
    EXPECT_EQ(json::parse(hub.payloads(kBase + "/error", 1).at(0))["reason"], "retained requests are not taken");
    hub.publish(kBase + "/learn", "", true);
    playPress(6400, 3);
    EXPECT_TRUE(hub.saw(sharedPress(6400, 3), "long_press"));
    EXPECT_TRUE(hub.saw(kBase + "/remote/6400/button/3", "long_press"));
    const auto events = hub.payloads("teruna/remote/6400/event", 3);
    EXPECT_EQ(json::parse(events.at(2))["event_type"], "button_3_long");
    const child::Outcome outcome = stop();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.err.find("the hub deleted remote 17 button 5: it is no longer announced; learn it again to "
                               "bring it back\n"),
              std::string::npos)
        << outcome.err;
}

// What the broker keeps under `what` (a topic level or a topic), as a hub that comes now finds it.
std::set<std::string> keptOf(const Broker &broker, const std::string &what) {
    std::set<std::string> found;
    for (const std::string &topic : Hub(broker.port).kept()) {
        if (("/" + topic + "/").find("/" + what + "/") != std::string::npos || topic.rfind(what, 0) == 0) {
            found.insert(topic);
        }
    }
    return found;
}

// A node renamed, then its discovery moved to another prefix, then retired: at each step
// nothing of what it was stays on the broker, and what it still is was never cleared.
TEST_F(Gateway, LeavesNothingOfANodeItNoLongerIs) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    const std::string conf = "broker = mqtt://127.0.0.1:" + std::to_string(broker.port) + "\n";
    start(broker, hub, "button lamp = 1/1\nremote hall = 6400/1\n");
    ASSERT_EQ(hub.on("teruna/gateway/test", 1).size(), 1u);  // announced last
    // The lamp, the connection, the learn button and its sensor, the record, the status, the window's.
    EXPECT_EQ(keptOf(broker, "test").size(), 7u);

    std::ofstream(dir_ + "/mqtt.conf") << conf << "node = attic\nbutton lamp = 1/1\nremote hall = 6400/1\n";
    kill(gateway_->pid(), SIGHUP);
    ASSERT_TRUE(hub.saw("teruna/attic/status", "online"));
    ASSERT_EQ(hub.on("teruna/gateway/attic", 1).size(), 1u);
    EXPECT_EQ(keptOf(broker, "test"), std::set<std::string>{});
    EXPECT_EQ(keptOf(broker, "attic").size(), 7u);
    EXPECT_EQ(keptOf(broker, triggerConfig(6400, 1)).size(), 1u);

    std::ofstream(dir_ + "/mqtt.conf") << conf << "node = attic\nbutton lamp = 1/1\nremote hall = 6400/1\n"
                                       << "discovery_prefix = elsewhere\n";
    kill(gateway_->pid(), SIGHUP);
    ASSERT_EQ(hub.on("elsewhere/button/attic/lamp/config", 1).size(), 1u);
    ASSERT_EQ(hub.on("teruna/gateway/attic", 2).size(), 2u);  // its record, announced last
    EXPECT_EQ(keptOf(broker, "homeassistant"), std::set<std::string>{});
    const std::set<std::string> attic = keptOf(broker, "attic");
    // A remote's configs were never cleared while a configuration still had them.
    for (const std::string &topic : {triggerConfig(6400, 1), kEventConfig}) {
        const auto said = hub.payloads(topic, 0);
        EXPECT_EQ(std::count(said.begin(), said.end(), ""), 1) << topic;
    }

    const auto retire = [&] {
        return child::Child({"-c", dir_ + "/mqtt.conf", "--retire"}, child::environmentWith({}), "", TERUNA_MQTT_BINARY,
                            "teruna-mqtt")
            .finish();
    };
    const child::Outcome refused = retire();
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "teruna-mqtt: cannot retire node attic on mqtt://127.0.0.1:" + std::to_string(broker.port) +
                               ": node attic is online: stop its gateway first\n");
    const child::Outcome stopped = stop();
    EXPECT_EQ(stopped.status, 0);
    EXPECT_NE(stopped.err.find("cleared the 7 retained messages node test left under its former names\n"),
              std::string::npos)
        << stopped.err;
    const child::Outcome retired = retire();
    EXPECT_EQ(retired.status, 0) << retired.err;
    std::set<std::string> cleared = attic;
    cleared.insert({"elsewhere/device_automation/teruna_remote_6400/button_1/config",
                    "elsewhere/device_automation/teruna_remote_6400/button_1_long/config",
                    "elsewhere/event/teruna_remote_6400/press/config"});
    std::string listed;
    for (const std::string &topic : cleared) {
        listed += "cleared " + topic + "\n";
    }
    EXPECT_EQ(retired.out, listed);
    EXPECT_EQ(Hub(broker.port).kept(), std::set<std::string>{});
    EXPECT_EQ(retire().out, "nothing of node attic was kept on mqtt://127.0.0.1:" + std::to_string(broker.port) + "\n");
}

// The transmitting thread publishes what it sent while the gateway's thread makes its client
// anew for the other broker: requests keep coming until after the reload, every press taken
// goes out, and the client is never used as it goes (which ThreadSanitizer would see).
TEST_F(Gateway, MovesToTheBrokerAReloadNamesWhilePressesGoOut) {
    Broker first(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    const std::string secondDir = dir_ + "/second";
    mkdir(secondDir.c_str(), 0700);
    Broker second(MOSQUITTO, MOSQUITTO_PASSWD, secondDir);
    ASSERT_TRUE(second.ready());
    Hub hub(first.port);
    Hub other(second.port);
    start(first, hub, "button lamp = 1/1\n");
    std::ofstream(dir_ + "/mqtt.conf") << "broker = mqtt://127.0.0.1:" << second.port << "\nnode = test\n";
    for (int i = 0; i < 100; ++i) {
        hub.publish(kBase + "/send", R"({"remote": 6400, "button": 4})");
        if (i == 30) {
            kill(gateway_->pid(), SIGHUP);
        }
        usleep(2000);
    }
    EXPECT_TRUE(other.saw(kBase + "/status", "online"));
    EXPECT_TRUE(hub.saw(kBase + "/status", "offline"));
    other.publish(kBase + "/send", R"({"remote": 6400, "button": 5, "id": "after"})");
    const auto sentAfter = [&] {
        const auto sent = other.payloads(kBase + "/sent", 0);
        return std::any_of(sent.begin(), sent.end(),
                           [](const std::string &payload) { return json::parse(payload).value("id", "") == "after"; });
    };
    for (int polls = 0; polls < 400 && !sentAfter(); ++polls) {
        usleep(50'000);
    }
    ASSERT_TRUE(sentAfter());
    const child::Outcome outcome = stop();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    std::istringstream heard(heardOnThePin());
    std::vector<std::string> presses;
    for (std::string line; std::getline(heard, line);) {
        presses.push_back(line);
    }
    ASSERT_GE(presses.size(), 2u);
    EXPECT_EQ(presses.back(), "remote 6400 button 5");
    EXPECT_TRUE(std::all_of(presses.begin(), presses.end() - 1,
                            [](const std::string &press) { return press == "remote 6400 button 4"; }));
}

TEST_F(Gateway, AnnouncesAgainWhenTheBrokerOrTheHubForgets) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_, "", "persistence false\n");
    auto hub = std::make_unique<Hub>(broker.port);
    start(broker, *hub, "button lamp = 1/1\nremote hall = 6400/3\n");
    ASSERT_EQ(hub->on(kLampConfig, 1).size(), 1u);
    hub.reset();
    broker.stop();
    broker.start();
    {
        Hub after(broker.port);
        ASSERT_GE(after.on(kLampConfig, 1).size(), 1u);
        EXPECT_GE(after.on(triggerConfig(6400, 3), 1).size(), 1u);
        // A gateway that reconnected into the broker as it stopped may announce twice here (what
        // that connection queued is sent again on the next), both alike.
        usleep(300'000);
        const std::size_t announced = after.on(kLampConfig, 0).size();
        // Home Assistant lost what it knew, and says it is back.
        after.publish(kLampConfig, "", true);
        after.publish(triggerConfig(6400, 3), "", true);
        EXPECT_TRUE(after.saw(kLampConfig, ""));
        after.publish(kPrefix + "status", "online");
        EXPECT_EQ(after.on(kLampConfig, announced + 2).size(), announced + 2);
    }
    Hub later(broker.port);
    EXPECT_NE(later.payloads(kLampConfig, 1).at(0), "");
    EXPECT_NE(later.payloads(triggerConfig(6400, 3), 1).at(0), "");
    EXPECT_EQ(stop().status, 0);
}

// Home Assistant says it is back on its own status topic, whatever the discovery prefix.
TEST_F(Gateway, HearsTheHubComeBackOnItsStatusTopic) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    const std::string lamp = "elsewhere/button/test/lamp/config";
    start(broker, hub, "button lamp = 1/1\ndiscovery_prefix = elsewhere\n");
    ASSERT_EQ(hub.on(lamp, 1).size(), 1u);
    hub.publish("homeassistant/status", "online");
    EXPECT_EQ(hub.on(lamp, 2).size(), 2u);
    std::ofstream(dir_ + "/mqtt.conf") << "broker = mqtt://127.0.0.1:" << broker.port
                                       << "\nnode = test\nbutton lamp = 1/1\ndiscovery_prefix = elsewhere\n"
                                       << "hub_status_topic = hub/birth\n";
    kill(gateway_->pid(), SIGHUP);
    ASSERT_EQ(hub.on(lamp, 3).size(), 3u);  // the reload's
    hub.publish("hub/birth", "online");
    EXPECT_EQ(hub.on(lamp, 4).size(), 4u);
    EXPECT_EQ(stop().status, 0);
}

TEST_F(Gateway, NeverSendsARequestPublishedWhileItWasAway) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    start(broker, hub, "");
    EXPECT_EQ(stop().status, 0);
    hub.publish(kBase + "/send", R"({"remote": 6400, "button": 1})");
    ASSERT_EQ(hub.on(kBase + "/send", 1).size(), 1u);
    start(broker, hub, "");
    hub.publish(kBase + "/send", R"({"remote": 6400, "button": 2})");
    const auto sent = hub.payloads(kBase + "/sent", 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(json::parse(sent[0])["button"], 2);
    usleep(300'000);
    EXPECT_EQ(stop().status, 0);
    EXPECT_EQ(heardOnThePin(), "remote 6400 button 2\n");
    EXPECT_EQ(hub.on(kBase + "/sent", 0).size(), 1u);
}

// Gateways that hear one press publish it once on the shared topics, whichever heard it first.
TEST_F(Gateway, PublishesAPressOnceHoweverManyGatewaysHearIt) {
    const struct {
        int gateways;
        int hearing;
        int apartMs;  // below 0: the last by node hears it first, the first by node last
    } rows[] = {{2, 2, 0}, {3, 3, 0}, {3, 3, 120}, {3, 3, -120}, {3, 1, 0}};
    int round = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.gateways) + " gateways, " + std::to_string(row.hearing) + " hearing, " +
                     std::to_string(row.apartMs) + " ms apart");
        const std::string folder = dir_ + "/" + std::to_string(++round);
        mkdir(folder.c_str(), 0700);
        Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, folder);
        ASSERT_TRUE(broker.ready());
        Hub hub(broker.port);
        std::vector<std::unique_ptr<child::Child>> gateways;
        for (int i = 0; i < row.gateways; ++i) {
            const std::string node = "node" + std::to_string(i);
            const std::string home = folder + "/" + node;
            mkdir(home.c_str(), 0700);
            ASSERT_EQ(mkfifo((home + "/fifo").c_str(), 0600), 0);
            gateways.push_back(launch(home, "broker = mqtt://127.0.0.1:" + std::to_string(broker.port) + "\nnode = " +
                                                node + "\nreceive_from = " + home + "/fifo\nremote hall = 6400/3\n"));
            ASSERT_TRUE(hub.saw("teruna/" + node + "/status", "online"));
        }
        // Each knows the others by their records, and announces the remote as every other does.
        for (int i = 0; i < row.gateways; ++i) {
            ASSERT_EQ(hub.on("teruna/gateway/node" + std::to_string(i), 1).size(), 1u);
        }
        const auto hall = hub.payloads(kEventConfig, static_cast<std::size_t>(row.gateways));
        ASSERT_EQ(hall.size(), static_cast<std::size_t>(row.gateways));
        EXPECT_EQ(std::set<std::string>(hall.begin(), hall.end()).size(), 1u);
        EXPECT_EQ(json::parse(hall[0])["device"]["name"], "Hall");
        usleep(200'000);
        const std::string dump = pressDump(6400, 3);
        std::vector<std::thread> writers;
        for (int i = 0; i < row.hearing; ++i) {
            writers.emplace_back([&, i] {
                const int place = row.apartMs >= 0 ? i : row.hearing - 1 - i;
                usleep(static_cast<useconds_t>(place * std::abs(row.apartMs) * 1000));
                std::ofstream(folder + "/node" + std::to_string(i) + "/fifo") << dump;
            });
        }
        for (std::thread &writer : writers) {
            writer.join();
        }
        for (int i = 0; i < row.hearing; ++i) {
            EXPECT_EQ(hub.on("teruna/node" + std::to_string(i) + "/received", 1).size(), 1u);
        }
        EXPECT_EQ(hub.on(sharedPress(6400, 3), 1).size(), 1u);
        usleep(300'000);  // for a second one, which must not come
        EXPECT_EQ(hub.on(sharedPress(6400, 3), 0).size(), 1u);
        std::string events;
        for (const std::string &event : hub.payloads("teruna/remote/6400/event", 0)) {
            events += event + "\n";
        }
        EXPECT_EQ(hub.on("teruna/remote/6400/event", 0).size(), 1u) << events;
        // Each that declares it announces its trigger, and all alike: the hub lists it once.
        const auto triggers = hub.payloads(triggerConfig(6400, 3), static_cast<std::size_t>(row.gateways));
        EXPECT_EQ(triggers.size(), static_cast<std::size_t>(row.gateways));
        EXPECT_EQ(std::set<std::string>(triggers.begin(), triggers.end()).size(), 1u);
        for (auto &gateway : gateways) {
            kill(gateway->pid(), SIGTERM);
            EXPECT_EQ(gateway->finish().status, 0);
        }
    }
}

TEST_F(Gateway, SaysOnceThatAnotherGatewayHasItsNode) {
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    start(broker, hub, "");
    const std::string other = dir_ + "/other";
    mkdir(other.c_str(), 0700);
    auto second = launch(other, "broker = mqtt://127.0.0.1:" + std::to_string(broker.port) + "\nnode = test\n");
    // Once each has learnt of the other, neither takes the session within the minute.
    const std::string clash =
        "teruna-mqtt: another gateway is using node test on mqtt://127.0.0.1:" + std::to_string(broker.port) +
        ": give each gateway a node of its own; taking the session back at most once a minute\n";
    ASSERT_TRUE(second->waitForErr(clash));
    ASSERT_TRUE(gateway_->waitForErr(clash));
    const std::size_t settled = onlines(hub, kBase);
    sleep(3);
    EXPECT_EQ(onlines(hub, kBase), settled);
    EXPECT_LE(settled, 4u);
    kill(second->pid(), SIGTERM);
    const child::Outcome outcomes[] = {second->finish(), stop()};
    for (const child::Outcome &outcome : outcomes) {
        const std::string &said = outcome.err;
        EXPECT_NE(said.find(clash), std::string::npos) << said;
        EXPECT_EQ(said.find(clash), said.rfind(clash)) << said;
    }
}

// A listener on 127.0.0.1 that answers each connection with `answer`, or with nothing.
class Listener {
public:
    // `closes`: each connection's request is read, answered, and the connection closed, as a
    // web server does.
    explicit Listener(std::string answer, bool closes = false) : answer_(std::move(answer)) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr *>(&address), size);
        listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this, closes] {
            int client = 0;
            // Until the destructor shuts the socket: a connection aborted before it was taken
            // does not end the listening, and one that sends nothing holds it up a second at most.
            while ((client = accept(fd_, nullptr, nullptr)) >= 0 || errno != EINVAL) {
                if (client < 0) {
                    continue;
                }
                const timeval second{1, 0};
                setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
                char request[512];
                if (closes) {
                    [[maybe_unused]] const ssize_t read = ::read(client, request, sizeof request);
                }
                if ((!answer_.empty() && write(client, answer_.data(), answer_.size()) < 0) || closes) {
                    close(client);
                    continue;
                }
                clients_.push_back(client);
            }
        });
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    ~Listener() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
        for (const int client : clients_) {
            close(client);
        }
    }

    int port = 0;

private:
    std::string answer_;
    int fd_;
    std::thread thread_;
    std::vector<int> clients_;
};

// In `dir`, a CA of the test's own (ca.crt) and a server certificate it signs (server.crt), for
// the names `san` and lasting `days` (-1: expired a day ago).
bool makeCertificates(const std::string &dir, const std::string &san = "DNS:localhost,IP:127.0.0.1", int days = 2) {
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string make =
        "cd " + dir + " && openssl req -x509 " + key + " -keyout ca.key -out ca.crt -days 2 -subj /CN=ca 2>/dev/null" +
        " && openssl req " + key + " -keyout server.key -out server.csr -subj /CN=localhost 2>/dev/null && printf " +
        "'subjectAltName=" + san + "' > san && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key " +
        "-CAcreateserial -out server.crt -days " + std::to_string(days) + " -extfile san 2>/dev/null";
    return std::system(make.c_str()) == 0;
}

// The configuration of a TLS listener with the certificates in `dir`.
std::string tlsListener(const std::string &dir) {
    return "cafile " + dir + "/ca.crt\ncertfile " + dir + "/server.crt\nkeyfile " + dir +
           "/server.key\nallow_anonymous true\n";
}

TEST_F(Gateway, SaysWhyItCannotConnect) {
    const std::string otherDir = dir_ + "/other";
    const std::string tlsDir = dir_ + "/tls";
    const std::string expiredDir = dir_ + "/expired";
    const std::string misnamedDir = dir_ + "/misnamed";
    for (const std::string &dir : {otherDir, tlsDir, expiredDir, misnamedDir}) {
        mkdir(dir.c_str(), 0700);
    }
    ASSERT_TRUE(makeCertificates(tlsDir) && makeCertificates(otherDir) &&
                makeCertificates(expiredDir, "DNS:localhost", -1) && makeCertificates(misnamedDir, "DNS:elsewhere"));
    Broker plain(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Broker secure(MOSQUITTO, MOSQUITTO_PASSWD, tlsDir, "", tlsListener(tlsDir));
    Broker expired(MOSQUITTO, MOSQUITTO_PASSWD, expiredDir, "", tlsListener(expiredDir));
    Broker misnamed(MOSQUITTO, MOSQUITTO_PASSWD, misnamedDir, "", tlsListener(misnamedDir));
    ASSERT_TRUE(plain.ready() && secure.ready() && expired.ready() && misnamed.ready());
    Listener garbage("HTTP/1.1 400 Bad Request\r\nContent-Length: 200\r\n\r\n" + std::string(200, '-'));
    Listener silent("");
    Listener web("HTTP/1.1 400 Bad Request\r\nContent-Length: 11\r\nConnection: close\r\n\r\nBad Request", true);
    const std::string otherCa = otherDir + "/ca.crt";
    const auto tlsTo = [](const Broker &broker) { return "mqtts://localhost:" + std::to_string(broker.port); };
    const struct {
        std::string broker;
        std::string extra;
        std::string said;
    } rows[] = {
        {"mqtt://127.0.0.1:" + std::to_string(garbage.port), "",
         "the listener does not speak MQTT: its answer is malformed"},
        {"mqtt://127.0.0.1:" + std::to_string(web.port), "",
         "the listener does not speak MQTT: its answer is malformed"},
        {"mqtt://127.0.0.1:" + std::to_string(silent.port), "keepalive = 5\n",
         "no answer within the keepalive of 5 s: is it an MQTT listener?"},
        {"mqtt://127.0.0.1:" + std::to_string(secure.port), "",
         "the broker closed the connection before answering: if its listener is TLS, write the broker as mqtts://"},
        {"mqtts://127.0.0.1:" + std::to_string(plain.port), "ca_file = " + tlsDir + "/ca.crt\n",
         "TLS failed: the broker closed the connection during the handshake: if its listener is not TLS, write the "
         "broker as mqtt://"},
        {tlsTo(secure), "ca_file = " + otherCa + "\n",
         "TLS failed: the broker's certificate is refused: self-signed certificate in certificate chain"},
        {tlsTo(expired), "ca_file = " + expiredDir + "/ca.crt\n",
         "TLS failed: the broker's certificate is refused: certificate has expired"},
        {tlsTo(misnamed), "ca_file = " + misnamedDir + "/ca.crt\n",
         "TLS failed: the broker's certificate is refused: hostname mismatch"},
    };
    // All at once, each in a folder of its own, until each has said it: by then the quick
    // ones have tried again while the slowest waited for its answer.
    std::vector<std::unique_ptr<child::Child>> gateways;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::string folder = dir_ + "/row" + std::to_string(i);
        mkdir(folder.c_str(), 0700);
        gateways.push_back(
            launch(folder, "broker = " + rows[i].broker + "\nnode = row" + std::to_string(i) + "\n" + rows[i].extra));
    }
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_TRUE(gateways[i]->waitForErr(rows[i].said)) << "row " << i << " " << rows[i].broker;
    }
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].broker);
        kill(gateways[i]->pid(), SIGTERM);
        const child::Outcome outcome = gateways[i]->finish();
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.err,
                  "teruna-mqtt: " + rows[i].broker + ": " + rows[i].said + "; trying again, at longest every 60 s\n");
    }
    // A broker that hangs is noticed within the keepalive.
    Hub hub(plain.port);
    start(plain, hub, "keepalive = 5\n");
    plain.pause(true);
    EXPECT_TRUE(gateway_->waitForErr(": the broker stopped answering within the keepalive of 5 s; trying again"));
    plain.pause(false);
    EXPECT_EQ(stop().status, 0);
    // And the right CA connects.
    auto gateway = launch(dir_, "broker = mqtts://localhost:" + std::to_string(secure.port) +
                                    "\nnode = test\nca_file = " + tlsDir + "/ca.crt\n");
    EXPECT_TRUE(gateway->waitForErr("\n"));
    kill(gateway->pid(), SIGTERM);
    EXPECT_EQ(gateway->finish().err,
              "teruna-mqtt: connected to the broker mqtts://localhost:" + std::to_string(secure.port) + "\n");
}

TEST_F(Gateway, GoesOnWithoutASubscriptionTheBrokerRefuses) {
    if (std::string(MOSQUITTO_DYNSEC).empty()) {
        GTEST_SKIP() << "mosquitto's dynamic security plugin, which refuses subscriptions, is not installed";
    }
    std::ofstream(dir_ + "/dynsec.json")
        << R"({"defaultACLAccess": {"publishClientSend": true, "publishClientReceive": true, "subscribe": true,
                                    "unsubscribe": true},
               "clients": [], "groups": [{"groupname": "anonymous", "roles": [{"rolename": "limited"}]}],
               "roles": [{"rolename": "limited", "acls": [{"acltype": "subscribePattern", "topic": ")"
        << kBase << R"(/send", "allow": false}]}],
               "anonymousGroup": "anonymous"})";
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_, "",
                  "plugin " MOSQUITTO_DYNSEC "\nplugin_opt_config_file " + dir_ + "/dynsec.json\n");
    Hub hub(broker.port);
    start(broker, hub, "button lamp = 1/1\n");
    hub.publish(kBase + "/button/lamp/press", "PRESS");
    EXPECT_EQ(hub.on(kBase + "/sent", 1).size(), 1u);
    const child::Outcome outcome = stop();
    EXPECT_EQ(outcome.err, connectedOnly(broker) + "teruna-mqtt: the broker refused the subscription to " + kBase +
                               "/send: Not authorized; going on without it\n");
}

TEST_F(Gateway, SpendsNoMemoryOnAnOversizedRequest) {
#ifdef TERUNA_SANITIZER_SHADOW
    GTEST_SKIP() << "the sanitizer's own memory would be measured";
#endif
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    start(broker, hub, "");
    hub.publish(kBase + "/send", R"({"remote": 6400, "button": 1})");
    ASSERT_EQ(hub.on(kBase + "/sent", 1).size(), 1u);
    const long before = broker::statusKb(gateway_->pid(), "VmHWM:");
    hub.publish(kBase + "/send", std::string(100'000'000, ' '));
    hub.publish(kBase + "/send", R"({"remote": 6400, "button": 2})");
    ASSERT_EQ(hub.on(kBase + "/sent", 2).size(), 2u);
    const long after = broker::statusKb(gateway_->pid(), "VmHWM:");
    EXPECT_GT(before, 0);
    EXPECT_LE(after - before, 2048) << before << " kB before, " << after << " kB after";
    EXPECT_EQ(stop().status, 0);
}

// A broker named homeassistant.local, looked up by a stand-in getent. The gateway and its broker
// run in a network namespace of their own with only loopback up: the gateway's own lookup of the
// name, through the system's DNS, has nowhere to go.
TEST_F(Gateway, AsksGetentForALocalName) {
    if (std::system("unshare --net ip link set lo up 2>/dev/null") != 0) {
        GTEST_SKIP() << "cannot make a network namespace with loopback up here (unshare --net needs root, and ip "
                        "iproute2)";
    }
    const struct {
        const char *getent;
        std::string said;
    } rows[] = {
        {"[ \"$1 $2\" = 'ahosts homeassistant.local' ] || exit 2\n"
         "printf '127.0.0.1       STREAM homeassistant.local\\n::1 STREAM\\n'",
         "teruna-mqtt: connected to the broker mqtt://homeassistant.local\n"},
        {"exit 2", "teruna-mqtt: mqtt://homeassistant.local: cannot look up homeassistant.local: a .local name "
                   "needs the system's mDNS (avahi-daemon and libnss-mdns); write the broker's address instead, as "
                   "mqtt://192.168.1.20:1883; trying again every half second\n"},
    };
    std::filesystem::create_directory(dir_ + "/bin");
    std::ofstream(dir_ + "/broker.conf") << "listener 1883 127.0.0.1\nallow_anonymous true\nuser "
                                         << getpwuid(getuid())->pw_name << "\n";
    std::ofstream(dir_ + "/mqtt.conf") << "broker = mqtt://homeassistant.local\nnode = test\n";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.getent);
        std::ofstream(dir_ + "/bin/getent") << "#!/bin/sh\n" << row.getent << "\n";
        chmod((dir_ + "/bin/getent").c_str(), 0755);
        // The gateway under the tests' emulator, if any, which runs host binaries such as
        // unshare only when asked to run the gateway.
        std::string gateway = TERUNA_MQTT_BINARY;
        const std::vector<std::string> emulator{TERUNA_EMULATOR};
        if (!emulator.empty()) {
            gateway = "-0 teruna-mqtt " + gateway;
            for (auto part = emulator.rbegin(); part != emulator.rend(); ++part) {
                gateway = *part + " " + gateway;
            }
        }
        std::ofstream(dir_ + "/run.sh") << "ip link set lo up || exit 99\n" MOSQUITTO " -c " << dir_
                                        << "/broker.conf 2>/dev/null & sleep 0.5\nPATH=" << dir_
                                        << "/bin:$PATH TERUNA_SIM_CLOCK=virtual timeout -s TERM 3 " << gateway << " -c "
                                        << dir_ << "/mqtt.conf\nkill $!\n";
        EXPECT_EQ(std::system(("unshare --net sh " + dir_ + "/run.sh 2>" + dir_ + "/said").c_str()), 0);
        EXPECT_EQ(recording::readFile(dir_ + "/said"), row.said);
    }
}

// True where this process may lock all its memory, as root may.
bool mayLockMemory() {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(mlockall(MCL_CURRENT | MCL_ONFAULT) == 0 ? 0 : 1);
    }
    int status = 1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The press locks the gateway's memory: what it keeps resident afterwards, and all it maps, which
// the lock counts against RLIMIT_MEMLOCK, must not grow by a thread's default stack or a heap.
TEST_F(RealClockGateway, KeepsLittleInMemoryAfterPressesItLocked) {
#ifdef TERUNA_SANITIZER_SHADOW
    GTEST_SKIP() << "a sanitizer's shadow is mapped and the press locks nothing";
#endif
    if (!std::vector<std::string>{TERUNA_EMULATOR}.empty()) {
        GTEST_SKIP() << "the emulator's memory would be measured, not the gateway's";
    }
    if (!mayLockMemory()) {
        GTEST_SKIP() << "mlockall is refused here (not root): a press locks nothing";
    }
    Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir_);
    Hub hub(broker.port);
    start(broker, hub, "queue = 10\n", true);
    constexpr std::size_t kPresses = 10;
    for (std::size_t i = 0; i < kPresses; ++i) {
        hub.publish(kBase + "/send", R"({"remote": 6400, "button": 3})");
    }
    long lockedKb = 0;
    for (int polls = 0; polls < 3000 && hub.on(kBase + "/sent", 0).size() < kPresses; ++polls) {
        lockedKb = std::max(lockedKb, broker::statusKb(gateway_->pid(), "VmLck:"));
        usleep(20'000);
    }
    ASSERT_EQ(hub.on(kBase + "/sent", kPresses).size(), kPresses);
    EXPECT_GT(lockedKb, 0) << "no press was seen locked";
    EXPECT_LT(broker::statusKb(gateway_->pid(), "VmRSS:"), 12 * 1024);
    EXPECT_LT(broker::statusKb(gateway_->pid(), "VmSize:"), 32 * 1024);
    EXPECT_EQ(stop().status, 0);
}

}  // namespace
