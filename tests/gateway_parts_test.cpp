// SPDX-License-Identifier: MIT
// The gateway's parts that need no broker: its configuration, its requests and queue, the
// broker's settings, its topics, and what it announces and clears.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <tuple>

#include "child.h"
#include "config.h"
#include "connection.h"
#include "discovery.h"
#include "messages.h"
#include "queue.h"
#include "requests.h"
#include "topics.h"

namespace {

using nlohmann::json;
using requests::kBadRequests;
using namespace std::string_literals;

TEST(GatewayConfig, RefusesWhatItCannotTake) {
    const child::ScratchDir scratch("teruna-config");
    const std::string password = scratch.path() + "/password";
    const std::string fifo = scratch.path() + "/fifo";
    std::ofstream(password) << "secret\n";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string text;
        std::string error;
    } rows[] = {
        {"colour = red", "FILE:1: unknown key 'colour'"},
        {"# a comment\n\nqueue 3", "FILE:3: expected 'key = value'"},
        {"queue = 0", "FILE:1: queue must be 1 to 4096, not '0'"},
        {"queue = 12x", "FILE:1: queue must be 1 to 4096, not '12x'"},
        {"tx_pin = 17", "FILE:1: tx_pin must be a wiringPi pin, 0 to 16 or 21 to 31, not '17'"},
        {"broker = http://x", "FILE:1: broker must be mqtt://HOST:PORT or mqtts://HOST:PORT, not 'http://x'"},
        {"broker = mqtt://h:70000", "FILE:1: the broker's port must be 1 to 65535, not '70000'"},
        {"broker = mqtt://:1883", "FILE:1: the broker's host is missing or malformed in 'mqtt://:1883'"},
        {"topic = a/#", "FILE:1: topic must not be empty, hold '+' or '#', or begin or end with '/': 'a/#'"},
        {"node = a/b", "FILE:1: node is letters, digits and '-', not 'a/b'"},
        // Ids no other configuration may share: a node's button, a remote's device, the connection.
        {"node = a_b", "FILE:1: node is letters, digits and '-', not 'a_b'"},
        // Topics of its own: not the shared ones, nor the hub's.
        {"node = a\ntopic = teruna",
         "FILE:2: topic teruna and shared_topic teruna overlap: give each topics of its own"},
        {"node = gateway", "FILE:1: topic teruna/gateway and shared_topic teruna overlap: give each topics of its own"},
        {"node = a\nshared_topic = teruna/a/x",
         "FILE:1: topic teruna/a and shared_topic teruna/a/x overlap: give each topics of its own"},
        {"node = a\ntopic = homeassistant/a",
         "FILE:2: topic homeassistant/a and discovery_prefix homeassistant overlap: give each topics of its own"},
        {"topic = home\ndiscovery_prefix = home/assistant",
         "FILE:1: topic home and discovery_prefix home/assistant overlap: give each topics of its own"},
        {"node = remote", "FILE:1: node remote would share its ids with the remotes': name it otherwise"},
        {"button hall = 1/1\nbutton connectivity = 1/2",
         "FILE:2: button connectivity would share its id with the gateway's own connectivity: name it otherwise"},
        {"button learn = 1/2",
         "FILE:1: button learn would share its id with the gateway's own learn: name it otherwise"},
        {"learn_minutes = 0", "FILE:1: learn_minutes must be 1 to 1440, not '0'"},
        {"long_press_ms = 99", "FILE:1: long_press_ms must be 100 to 60000, not '99'"},
        {"long_press_ms = +1000", "FILE:1: long_press_ms must be 100 to 60000, not '+1000'"},
        {"queue = 2\nqueue = 3", "FILE:2: queue is given twice"},
        {"button a = 6400/128", "FILE:1: button a must be REMOTE/BUTTON, remote 0 to 65535 and button 0 to 127, "
                                "not '6400/128'"},
        {"button a = 1/1\nbutton a = 1/2", "FILE:2: button a is named twice"},
        {"password_file = /nonexistent/pw", "FILE:1: cannot read the password file /nonexistent/pw: No such file or "
                                            "directory"},
        {"rx_pin = 2\nreceive_from = /dev/null", "FILE: rx_pin and receive_from both name an input; give one"},
        {"receive_from = /nonexistent/in", "FILE:1: receive_from /nonexistent/in: No such file or directory"},
        {"receive_from = /", "FILE:1: receive_from / is a directory, not a dump or a FIFO"},
        {"ca_file = /dev/null", "FILE:1: ca_file is only for an mqtts:// broker, not mqtt://localhost:1883"},
        {"ca_file = /dev/null\nbroker = mqtt://h", "FILE:1: ca_file is only for an mqtts:// broker, not mqtt://h"},
        {"password_file = /dev/null", "FILE:1: the first line of the password file /dev/null is empty"},
        {"queue = 2\npassword_file = " + password, "FILE:2: password_file needs a username"},
        {"receive_from = " + fifo + "\nrx_pin = 2", "FILE: rx_pin and receive_from both name an input; give one"},
        {"receive_from = " + password + "\nrx_pin = 2", "FILE: rx_pin and receive_from both name an input; give one"},
        {"broker = mqtt://h:+1883", "FILE:1: the broker's port must be 1 to 65535, not '+1883'"},
        {"broker = mqtt://h:-1", "FILE:1: the broker's port must be 1 to 65535, not '-1'"},
        {"broker = mqtt://h: 1883", "FILE:1: the broker's port must be 1 to 65535, not ' 1883'"},
        {"topic = a\tb", "FILE:1: topic holds a control character"},
        {"shared_topic = a\x7f", "FILE:1: shared_topic holds a control character"},
        {"discovery_prefix = \xc3(", "FILE:1: discovery_prefix is not valid UTF-8"},
        {"node = " + std::string(257, 'n'), "FILE:1: node is over 256 bytes"},
        {"remote " + std::string(257, 'r') + " = 1/1", "FILE:1: a remote's name is over 256 bytes"},
        {"username = \xed\xa0\x80", "FILE:1: username is not valid UTF-8"},  // a lone surrogate
        {"node = \xc0\xaf", "FILE:1: node is not valid UTF-8"},              // an overlong '/'
        {"button \xe2\x82 = 1/1", "FILE:1: a button's name is not valid UTF-8"},
        {"remote caf\xc3\xa9 = 1/1", "FILE:1: a remote's name is letters, digits, '_' and '-', not 'caf\xc3\xa9'"},
        {"shared_topic = a/",
         "FILE:1: shared_topic must not be empty, hold '+' or '#', or begin or end with '/': 'a/'"},
        {"keepalive = 4", "FILE:1: keepalive must be 5 to 3600 seconds, not '4'"},
        {"keepalive = +60", "FILE:1: keepalive must be 5 to 3600 seconds, not '+60'"},
        {"discover_heard = true", "FILE:1: discover_heard must be yes or no, not 'true'"},
        {"remote a.b = 1/1", "FILE:1: a remote's name is letters, digits, '_' and '-', not 'a.b'"},
        {"remote a = 1/1\nremote a = 2/1", "FILE:2: remote a is named twice"},
        {"remote a = 7/1\nremote b = 07/2", "FILE:2: remotes a and b are both remote 7"},
        {"remote a = 7", "FILE:1: remote a must be REMOTE/BUTTONS, as 6400/1-4 or 17/1,3,5-6, not '7'"},
        {"remote a = 7/1,,2", "FILE:1: remote a must be REMOTE/BUTTONS, as 6400/1-4 or 17/1,3,5-6, not '7/1,,2'"},
        {"remote a = 7/1,", "FILE:1: remote a must be REMOTE/BUTTONS, as 6400/1-4 or 17/1,3,5-6, not '7/1,'"},
        {"remote a = 7/1-2-3", "FILE:1: remote a must be REMOTE/BUTTONS, as 6400/1-4 or 17/1,3,5-6, not '7/1-2-3'"},
        {"remote a = 65536/1", "FILE:1: remote a's remote must be 0 to 65535, not '65536'"},
        {"remote a = 7/1, 120-128", "FILE:1: remote a's buttons must be 0 to 127, not '120-128'"},
        {"remote a = 7/4-1", "FILE:1: remote a's range '4-1' ends before it begins"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        mqtt::Config config;
        EXPECT_EQ(mqtt::parseConfig(row.text, "FILE", config), row.error);
    }
}

TEST(GatewayConfig, ReadsEveryKey) {
    const child::ScratchDir scratch("teruna-config");
    const std::string password = scratch.path() + "/password";
    std::ofstream(password) << "secret\r\nnot this\n";
    mqtt::Config config;
    ASSERT_EQ(
        mqtt::parseConfig("ca_file = /dev/null\nbroker = mqtts://[::1]:8884  # local\npassword_file = " + password +
                              "\nusername = gw\nnode = attic\ntx_pin = 2\nrx_pin=3\ndiscovery_prefix = none\n"
                              "queue = 4\nbutton lamp = 6400/3\nshared_topic = " +
                              std::string(256, 's') + "\nkeepalive = 3600\ndiscover_heard = no\n" +
                              "hub_status_topic = hub/birth\n",
                          "FILE", config),
        "");
    EXPECT_TRUE(config.tls);
    EXPECT_EQ(config.host, "::1");
    EXPECT_EQ(config.port, 8884);
    EXPECT_EQ(config.topic, "teruna/attic");
    EXPECT_EQ(config.rxPin, 3);
    EXPECT_EQ(config.discoveryPrefix, "");
    EXPECT_EQ(config.queue, 4u);
    ASSERT_EQ(config.buttons.size(), 1u);
    EXPECT_EQ(config.buttons[0].remote * 1000 + config.buttons[0].button, 6400003u);
    EXPECT_EQ(config.password, "secret");
    EXPECT_FALSE(config.nodeIsHostName);
    EXPECT_EQ(config.sharedTopic.size(), 256u);
    EXPECT_EQ(config.hubStatusTopic, "hub/birth");

    // What a file comes to, in the keys that have defaults and in the remotes.
    const auto summary = [](const mqtt::Config &read) {
        std::string text =
            read.broker + " node " + (read.nodeIsHostName && read.topic == "teruna/" + read.node ? "HOST" : read.node) +
            " keepalive " + std::to_string(read.keepAliveS) + " heard " + (read.discoverHeard ? "yes" : "no") +
            " shared " + read.sharedTopic + " queue " + std::to_string(read.queue) + " " + read.discoveryPrefix +
            " learn " + std::to_string(read.learnMinutes) + " long " + std::to_string(read.longPressMs);
        for (const mqtt::Remote &remote : read.remotes) {
            text += " " + remote.name + "=" + std::to_string(remote.remote) + "/";
            for (const unsigned int button : remote.buttons) {
                text += std::to_string(button) + ",";
            }
        }
        return text;
    };
    const struct {
        std::string text;
        const char *read;
    } rows[] = {
        {"", "mqtt://localhost:1883 node HOST keepalive 30 heard no shared teruna queue 16 homeassistant learn 5 "
             "long 1000"},
        {"\xEF\xBB\xBF# a comment\nlearn_minutes = 1440\nlong_press_ms = 100",
         "mqtt://localhost:1883 node HOST keepalive 30 heard no shared teruna queue 16 homeassistant learn 1440 long "
         "100"},
        {"node = n\nkeepalive = 5\nshared_topic = home/433\nremote hall = 6400/1-4\nremote gate = 17/ 6 ,5-6, 3,1",
         "mqtt://localhost:1883 node n keepalive 5 heard no shared home/433 queue 16 homeassistant learn 5 long "
         "1000 hall=6400/1,2,3,4, gate=17/1,3,5,6,"},
        {"node = n\nremote top = 65535/127,0, 125-126 \nremote bottom = 0/0-0\ndiscover_heard = yes",
         "mqtt://localhost:1883 node n keepalive 30 heard yes shared teruna queue 16 homeassistant learn 5 long 1000 "
         "top=65535/0,125,126,127, bottom=0/0,"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        mqtt::Config read;
        ASSERT_EQ(mqtt::parseConfig(row.text, "FILE", read), "");
        EXPECT_EQ(summary(read), row.read);
    }
}

TEST(GatewayRequest, RefusesWhatItCannotSend) {
    for (const auto &row : kBadRequests) {
        SCOPED_TRACE(row.payload);
        mqtt::Request request;
        EXPECT_EQ(mqtt::parseSend(row.payload, request), row.reason);
        EXPECT_EQ(request.id, row.id);
    }
    mqtt::Request request;
    EXPECT_EQ(mqtt::parseSend(std::string(1025, ' '), request), "request over 1024 bytes");
    EXPECT_EQ(mqtt::parseSend(R"({"remote": 65535, "button": 127, "id": "x"})", request), "");
    EXPECT_EQ(request.remote * 1000 + request.button, 65535127u);
}

TEST(GatewayRequest, ShowsARefusedRequestCutAndEscaped) {
    const json error = json::parse(mqtt::errorJson("not JSON", "\"\xff" + std::string(300, 'a')));
    EXPECT_EQ(error["request"].get<std::string>(), "\"\xEF\xBF\xBD" + std::string(254, 'a'));
}

TEST(GatewayQueue, TakesAnIdOnceWithinTenMinutes) {
    mqtt::Queue queue(2);
    mqtt::Request request;
    request.id = "a";
    EXPECT_EQ(queue.push(request), mqtt::Queue::Taken::queued);
    request.arrivedNs = mqtt::kRepeatWindowNs;
    EXPECT_EQ(queue.push(request), mqtt::Queue::Taken::repeated);
    request.arrivedNs = mqtt::kRepeatWindowNs + 1;
    EXPECT_EQ(queue.push(request), mqtt::Queue::Taken::queued);
    request.id = "b";
    EXPECT_EQ(queue.push(request), mqtt::Queue::Taken::full);
    EXPECT_EQ(queue.stop().size(), 2u);
    EXPECT_EQ(queue.push(request), mqtt::Queue::Taken::stopped);
}

// A reload connects anew exactly when a setting the client is made from changed: each line of
// the configuration that names one, changed alone, makes other settings; any other does not.
TEST(GatewayBrokerSettings, DifferWhereTheClientWouldBeMadeOtherwise) {
    // The configuration of broker and node below, each line of `lines` in place of its key's.
    const auto settings = [](const std::string &lines) {
        std::string text = lines;
        for (const std::string line : {"broker = mqtt://127.0.0.1:1883\n", "node = a\n"}) {
            if (lines.find(line.substr(0, line.find(' '))) == std::string::npos) {
                text += line;
            }
        }
        mqtt::Config config;
        EXPECT_EQ(mqtt::parseConfig(text, "mqtt.conf", config), "") << text;
        return mqtt::brokerSettings(config, mqtt::Topics(config));
    };
    const mqtt::BrokerSettings before = settings("");
    EXPECT_EQ(before.clientId, "teruna-mqtt-a");
    EXPECT_EQ(before.willTopic, "teruna/a/status");
    for (const std::string line :
         {"broker = mqtt://127.0.0.2:1883", "broker = mqtt://127.0.0.1:1884", "broker = mqtts://127.0.0.1:1883",
          "username = u", "keepalive = 20", "node = b", "topic = home/teruna"}) {
        EXPECT_NE(settings(line + "\n"), before) << line;
    }
    const std::string tls = "broker = mqtts://127.0.0.1:1883\n";
    EXPECT_NE(settings(tls + "ca_file = /dev/null\n"), settings(tls));
    for (const std::string line : {"queue = 3", "button lamp = 1/1", "discovery_prefix = none", "tx_pin = 2"}) {
        EXPECT_EQ(settings(line + "\n"), before) << line;
    }
}

mqtt::Config configOf(const std::string &text) {
    mqtt::Config config;
    EXPECT_EQ(mqtt::parseConfig(text, "mqtt.conf", config), "") << text;
    return config;
}

TEST(GatewayTopics, TakesApartWhatTheyBuild) {
    using Kind = mqtt::Topics::Parsed::Kind;
    const mqtt::Topics topics(configOf("node = attic\ntopic = home/attic\n"));
    const struct {
        std::string topic;
        Kind kind;
        std::string name;
        unsigned int remote;
        unsigned int button = 0;
        bool longPress = false;
    } rows[] = {
        {topics.send, Kind::send, "", 0},
        {topics.learn, Kind::learn, "", 0},
        {topics.sync, Kind::sync, "", 0},
        {topics.hubStatus, Kind::hubStatus, "", 0},
        {topics.buttonCommand("hall_light"), Kind::buttonPress, "hall_light", 0},
        {"home/attic/button/a/b/press", Kind::other, "", 0},
        {"home/attic/button//press", Kind::other, "", 0},
        {topics.gateway, Kind::record, "attic", 0},
        {"teruna/gateway/cellar", Kind::record, "cellar", 0},
        {topics.report, Kind::report, "attic", 0},
        {"teruna/gateway/cellar/heard", Kind::report, "cellar", 0},
        {"teruna/gateway//heard", Kind::other, "", 0},
        {"teruna/gateway/cellar/said", Kind::other, "", 0},
        {topics.sharedEvent(6400), Kind::sharedEvent, "", 6400},
        {topics.sharedEvent(0), Kind::sharedEvent, "", 0},
        {"teruna/remote/65536/event", Kind::other, "", 0},
        {"teruna/remote/0064/event", Kind::other, "", 0},
        {"teruna/remote/x/event", Kind::other, "", 0},
        {topics.buttonConfig("lamp"), Kind::nodeConfig, "", 0},
        {topics.connectivityConfig, Kind::nodeConfig, "", 0},
        {"homeassistant/button/cellar/lamp/config", Kind::other, "", 0},
        {topics.learnConfig, Kind::nodeConfig, "", 0},
        {topics.triggerConfig(5, 1), Kind::triggerConfig, "", 5, 1},
        {topics.triggerConfig(65535, 127, true), Kind::triggerConfig, "", 65535, 127, true},
        {topics.eventConfig(0), Kind::eventConfig, "", 0},
        {"homeassistant/device_automation/teruna_remote_5/button_128_long/config", Kind::other, "", 0},
        {"homeassistant/device_automation/teruna_remote_5/button_1_longer/config", Kind::other, "", 0},
        {"homeassistant/device_automation/teruna_remote_5/button__long/config", Kind::other, "", 0},
        {"homeassistant/device_automation/teruna_remote_05/button_1/config", Kind::other, "", 0},
        {"homeassistant/device_automation/other_5/button_1/config", Kind::other, "", 0},
        {"homeassistant/event/teruna_remote_5/other/config", Kind::other, "", 0},
        {"teruna/attic/status", Kind::other, "", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.topic);
        const mqtt::Topics::Parsed parsed = topics.parse(row.topic);
        EXPECT_EQ(parsed.kind, row.kind);
        EXPECT_EQ(parsed.name, row.name);
        EXPECT_EQ(parsed.remote, row.remote);
        EXPECT_EQ(parsed.button, row.button);
        EXPECT_EQ(parsed.longPress, row.longPress);
    }
}

// What a node clears as its configuration changes, and when it is retired: never what another
// gateway's record or its own new record claims.
TEST(GatewayDiscovery, ClearsOnlyWhatNoConfigurationClaims) {
    const std::string lines = "node = attic\nbutton lamp = 1/1\nremote hall = 6400/1-2\n";
    const mqtt::Config config = configOf(lines);
    const mqtt::Topics topics(config);
    mqtt::Retained retained;
    retained.nodeConfigs = {topics.buttonConfig("lamp"), topics.buttonConfig("fan"), topics.connectivityConfig};
    retained.records["attic"].declared = {{6400, 1}, {6400, 2}, {17, 1}, {18, 1}};
    retained.records["attic"].heard = {{5, 5}};
    retained.records["cellar"].declared = {{17, 1}};

    // A button and a remote line deleted; what was learnt stays announced.
    const mqtt::Announced next = mqtt::nextRecord(config, retained.records["attic"], {{9, 9}, {6400, 1}});
    EXPECT_EQ(next.heard, (std::set<mqtt::RemoteButton>{{5, 5}, {9, 9}}));
    const auto asSet = [](const std::vector<std::string> &list) {
        return std::set<std::string>(list.begin(), list.end());
    };
    const std::set<std::string> remote18 = {topics.triggerConfig(18, 1), topics.triggerConfig(18, 1, true),
                                            topics.eventConfig(18)};
    std::set<std::string> stale = remote18;
    stale.insert(topics.buttonConfig("fan"));
    EXPECT_EQ(asSet(mqtt::staleConfigs(config, topics, next, retained)), stale);
    EXPECT_TRUE(mqtt::staleConfigs(configOf(lines + "discovery_prefix = none\n"), topics, next, retained).empty());

    // Retired, it clears all it had but what cellar claims; the status only when kept.
    EXPECT_EQ(asSet(mqtt::retiredTopics(config, retained)),
              (std::set<std::string>{
                  topics.buttonConfig("lamp"), topics.buttonConfig("fan"), topics.connectivityConfig, topics.gateway,
                  topics.triggerConfig(6400, 1), topics.triggerConfig(6400, 2), topics.triggerConfig(6400, 1, true),
                  topics.triggerConfig(6400, 2, true), topics.eventConfig(6400), topics.triggerConfig(18, 1),
                  topics.triggerConfig(18, 1, true), topics.eventConfig(18), topics.triggerConfig(5, 5),
                  topics.triggerConfig(5, 5, true), topics.eventConfig(5)}));
    retained.status = "offline";
    retained.learning = true;
    const std::vector<std::string> kept = mqtt::retiredTopics(config, retained, {topics.buttonConfig("lamp")});
    EXPECT_EQ(std::count(kept.begin(), kept.end(), topics.status), 1);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), topics.learning), 1);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), topics.buttonConfig("lamp")), 0);
    EXPECT_TRUE(mqtt::retiredTopics(configOf("node = gone\n"), mqtt::Retained()).empty());
}

// A remote's configs are byte for byte the same from every gateway that announces it: named from
// the first node's line, with every button any record holds among its event types, short and long.
TEST(GatewayDiscovery, AnnouncesEachRemoteTheSameFromEveryGateway) {
    const mqtt::Config attic = configOf("node = attic\nremote hall = 6400/1,3\n");
    const mqtt::Config cellar = configOf("node = cellar\nremote porch = 6400/3\n");
    std::map<std::string, mqtt::Announced> records;
    records["attic"] = mqtt::nextRecord(attic, {}, {{6400, 2}});
    records["cellar"] = mqtt::nextRecord(cellar, {}, {{17, 4}});
    mqtt::Announced read;
    ASSERT_TRUE(mqtt::parseAnnounced(mqtt::announcedJson(records["attic"]), read));
    EXPECT_EQ(read.names, (std::map<unsigned int, std::string>{{6400, "hall"}}));
    mqtt::Announced named;
    ASSERT_TRUE(
        mqtt::parseAnnounced(R"({"declared":[],"heard":[],"names":{"x":"a","65536":"b","7":3,"8":"c"}})", named));
    EXPECT_EQ(named.names, (std::map<unsigned int, std::string>{{8, "c"}}));

    std::map<std::string, std::string> fromAttic;
    std::vector<std::string> order;
    for (const auto &[topic, payload] : mqtt::announcement(attic, mqtt::Topics(attic), records["attic"], records)) {
        fromAttic[topic] = payload;
        order.push_back(topic);
    }
    const mqtt::Topics topics(cellar);
    std::size_t shared = 0;
    for (const auto &[topic, payload] : mqtt::announcement(cellar, topics, records["cellar"], records)) {
        if (fromAttic.count(topic) != 0) {
            EXPECT_EQ(fromAttic[topic], payload) << topic;
            ++shared;
        }
    }
    EXPECT_EQ(shared, 3u);  // remote 6400's event entity and button 3's two triggers
    EXPECT_EQ(order.back(), "teruna/gateway/attic");
    EXPECT_LT(std::find(order.begin(), order.end(), topics.eventConfig(6400)),
              std::find(order.begin(), order.end(), topics.triggerConfig(6400, 1)));

    const json hall = json::parse(fromAttic.at(topics.eventConfig(6400)));
    EXPECT_EQ(hall["event_types"],
              json({"button_1", "button_1_long", "button_2", "button_2_long", "button_3", "button_3_long"}));
    EXPECT_TRUE(hall["name"].is_null());
    EXPECT_EQ(hall["device"]["name"], "Hall");
    const json held = json::parse(fromAttic.at(topics.triggerConfig(6400, 2, true)));
    EXPECT_EQ(std::make_tuple(held["type"], held["subtype"], held["payload"], held["topic"], held["device"]["name"]),
              std::make_tuple(json("button_long_press"), json("button_2"), json("long_press"),
                              json("teruna/remote/6400/button/2"), json("Hall")));
    const auto learnt = mqtt::announcement(cellar, topics, records["cellar"], records);
    const auto remote17 = std::find_if(learnt.begin(), learnt.end(),
                                       [&](const auto &message) { return message.first == topics.eventConfig(17); });
    ASSERT_NE(remote17, learnt.end());
    const json porch = json::parse(remote17->second);
    EXPECT_EQ(porch["event_types"], json({"button_4", "button_4_long"}));
    EXPECT_EQ(porch["device"]["name"], "Teruna remote 17");

    // Held as long as long_press_ms, it is a long press.
    mqtt::HeardPress press{6400, 3, 1'765'000'000'000'000, 1'765'000'001'000'000, "attic"};
    EXPECT_EQ(json::parse(mqtt::eventJson(press, 1'000'000))["event_type"], "button_3_long");
    EXPECT_EQ(mqtt::pressPayload(press, 1'000'000), "long_press");
    press.endedUs -= 1000;
    EXPECT_EQ(json::parse(mqtt::eventJson(press, 1'000'000))["event_type"], "button_3");
    EXPECT_EQ(mqtt::pressPayload(press, 1'000'000), "press");
}

// An event and a report read back as they were written; what is not one is refused.
TEST(GatewayDiscovery, ReadsBackEventsAndReports) {
    const mqtt::HeardPress press{6400, 3, 1'765'000'000'123'000, 1'765'000'000'523'000, "attic"};
    mqtt::HeardPress read;
    std::int64_t agoUs = 0;
    ASSERT_TRUE(mqtt::parseReport(mqtt::reportJson(press, 42'000), read, agoUs));
    EXPECT_EQ(
        std::make_tuple(read.remote, read.button, read.beganUs, read.endedUs, read.node, agoUs),
        std::make_tuple(press.remote, press.button, press.beganUs, press.endedUs, press.node, std::int64_t{42'000}));
    ASSERT_TRUE(mqtt::parseEvent(mqtt::eventJson(press), read));
    EXPECT_FALSE(mqtt::parseReport(mqtt::eventJson(press), read, agoUs));
    for (const std::string payload :
         {"", "press", R"({"remote":6400})",
          R"({"remote":65536,"button":3,"time":"2026-12-09T18:43:45.151Z","duration_ms":1,"node":"a"})",
          R"({"remote":1,"button":128,"time":"2026-12-09T18:43:45.151Z","duration_ms":1,"node":"a"})",
          R"({"remote":1,"button":3,"time":"yesterday","duration_ms":1,"node":"a"})"}) {
        EXPECT_FALSE(mqtt::parseEvent(payload, read)) << payload;
    }
    mqtt::Announced record;
    ASSERT_TRUE(mqtt::parseAnnounced(mqtt::recordJson(mqtt::Topics(configOf("node = attic\n")), record), record));
    EXPECT_EQ(record.status, "teruna/attic/status");
}

// The origin names a support address only when the build was given one (none by default).
TEST(GatewayDiscovery, GivesASupportAddressOnlyWhenBuiltWithOne) {
    const mqtt::Config config = configOf("node = attic\n");
    const json origin = json::parse(mqtt::connectivityConfigJson(config, mqtt::Topics(config)))["origin"];
    EXPECT_EQ(origin["name"], "teruna-mqtt");
    EXPECT_EQ(origin.contains("support_url"), !std::string(TERUNA_SUPPORT_URL).empty());
}

}  // namespace
