// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>

#include "clocks.h"
#include "messages.h"

namespace mqtt {

namespace {

using nlohmann::json;

std::string text(const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

const char *const kPress = "press";
const char *const kLongPress = "long_press";

json origin() {
    json origin = {{"name", "teruna-mqtt"}, {"sw_version", TERUNA_VERSION}};
    if (!std::string(TERUNA_SUPPORT_URL).empty()) {
        origin["support_url"] = TERUNA_SUPPORT_URL;
    }
    return origin;
}

json gatewayDevice(const Config &config) {
    return {{"identifiers", json::array({"teruna_" + config.node})},
            {"name", "Teruna gateway " + config.node},
            {"manufacturer", "teruna"},
            {"model", "teruna-mqtt"},
            {"sw_version", TERUNA_VERSION}};
}

json availability(const Topics &topics) {
    return json::array(
        {{{"topic", topics.status}, {"payload_available", "online"}, {"payload_not_available", "offline"}}});
}

json remoteDevice(unsigned int remote, const RemoteView &view) {
    return {{"identifiers", json::array({"teruna_remote_" + std::to_string(remote)})},
            {"name", view.name},
            {"manufacturer", "teruna"},
            {"model", "remote"}};
}

std::string eventType(unsigned int button, bool longPress = false) {
    return "button_" + std::to_string(button) + (longPress ? "_long" : "");
}

json pairs(const std::set<RemoteButton> &set) {
    json list = json::array();
    for (const RemoteButton &pair : set) {
        list.push_back({pair.first, pair.second});
    }
    return list;
}

bool readPairs(const json &list, std::set<RemoteButton> &set) {
    if (!list.is_array()) {
        return false;
    }
    for (const json &pair : list) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_unsigned() || !pair[1].is_number_unsigned() ||
            pair[0].get<std::uint64_t>() > kMaxRemote || pair[1].get<std::uint64_t>() > kMaxButton) {
            return false;
        }
        set.emplace(pair[0].get<unsigned int>(), pair[1].get<unsigned int>());
    }
    return true;
}

// "2026-12-08T08:31:20.123Z" back to µs since the epoch; false when it is not such a time.
bool readUtcTime(const std::string &time, std::int64_t &sinceEpochUs) {
    tm parts{};
    int ms = 0;
    char zone = 0;
    if (std::sscanf(time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms, &zone) != 8 ||
        zone != 'Z') {
        return false;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    sinceEpochUs = (static_cast<std::int64_t>(timegm(&parts)) * 1000 + ms) * 1000;
    return true;
}

}  // namespace

std::set<std::string> Announced::configTopics(const Topics &topics) const {
    std::set<std::string> found;
    for (const auto *set : {&declared, &heard}) {
        for (const RemoteButton &pair : *set) {
            found.insert(topics.triggerConfig(pair.first, pair.second));
            found.insert(topics.triggerConfig(pair.first, pair.second, true));
            found.insert(topics.eventConfig(pair.first));
        }
    }
    return found;
}

RemoteView remoteView(const std::map<std::string, Announced> &records, unsigned int remote) {
    RemoteView view;
    for (const auto &[node, record] : records) {
        const auto name = record.names.find(remote);
        if (view.name.empty() && name != record.names.end()) {
            view.name = readableName(name->second);
        }
        for (const auto *set : {&record.declared, &record.heard}) {
            for (auto pair = set->lower_bound({remote, 0}); pair != set->end() && pair->first == remote; ++pair) {
                view.buttons.insert(pair->second);
            }
        }
    }
    if (view.name.empty()) {
        view.name = "Teruna remote " + std::to_string(remote);
    }
    return view;
}

Announced announcedBy(const Config &config) {
    Announced announced;
    for (const Remote &remote : config.remotes) {
        announced.names[remote.remote] = remote.name;
        for (const unsigned int button : remote.buttons) {
            announced.declared.emplace(remote.remote, button);
        }
    }
    return announced;
}

Announced nextRecord(const Config &config, const Announced &previous, const std::set<RemoteButton> &heard) {
    Announced next = announcedBy(config);
    if (!config.discoveryPrefix.empty()) {
        next.heard.insert(previous.heard.begin(), previous.heard.end());
        next.heard.insert(heard.begin(), heard.end());
    }
    for (const RemoteButton &pair : next.declared) {
        next.heard.erase(pair);
    }
    return next;
}

std::vector<std::pair<std::string, std::string>> announcement(const Config &config, const Topics &topics,
                                                              const Announced &record,
                                                              std::map<std::string, Announced> others) {
    std::vector<std::pair<std::string, std::string>> messages;
    if (!config.discoveryPrefix.empty()) {
        messages.emplace_back(topics.connectivityConfig, connectivityConfigJson(config, topics));
        messages.emplace_back(topics.learnConfig, learnConfigJson(config, topics));
        messages.emplace_back(topics.learningConfig, learningConfigJson(config, topics));
        for (const Button &button : config.buttons) {
            messages.emplace_back(topics.buttonConfig(button.name), buttonConfigJson(config, topics, button));
        }
        others[config.node] = record;
        std::set<unsigned int> remotes;
        for (const auto *set : {&record.declared, &record.heard}) {
            for (const RemoteButton &pair : *set) {
                remotes.insert(pair.first);
            }
        }
        // The event entity first, so that the device has its name before its triggers come.
        for (const unsigned int remote : remotes) {
            const RemoteView view = remoteView(others, remote);
            messages.emplace_back(topics.eventConfig(remote), eventConfigJson(topics, remote, view));
            for (const unsigned int button : view.buttons) {
                if (record.has({remote, button})) {
                    for (const bool longPress : {false, true}) {
                        messages.emplace_back(topics.triggerConfig(remote, button, longPress),
                                              triggerConfigJson(topics, remote, button, longPress, view));
                    }
                }
            }
        }
    }
    messages.emplace_back(topics.gateway, recordJson(topics, record));
    return messages;
}

std::string recordJson(const Topics &topics, const Announced &record) {
    Announced own = record;
    own.status = topics.status;
    return announcedJson(own);
}

namespace {

// The remotes' configs that `node`'s record held and that neither `claimed` nor another
// gateway's record claims.
std::vector<std::string> unclaimedRemoteConfigs(const std::string &node, const Topics &topics, const Retained &retained,
                                                std::set<std::string> claimed) {
    std::vector<std::string> unclaimed;
    const auto own = retained.records.find(node);
    if (own == retained.records.end()) {
        return unclaimed;
    }
    for (const auto &[other, record] : retained.records) {
        if (other != node) {
            const std::set<std::string> theirs = record.configTopics(topics);
            claimed.insert(theirs.begin(), theirs.end());
        }
    }
    for (const std::string &topic : own->second.configTopics(topics)) {
        if (claimed.count(topic) == 0) {
            unclaimed.push_back(topic);
        }
    }
    return unclaimed;
}

}  // namespace

std::vector<std::string> staleConfigs(const Config &config, const Topics &topics, const Announced &record,
                                      const Retained &retained) {
    if (config.discoveryPrefix.empty()) {
        return {};
    }
    std::vector<std::string> stale = unclaimedRemoteConfigs(config.node, topics, retained, record.configTopics(topics));
    std::set<std::string> ownNode = {topics.connectivityConfig, topics.learnConfig, topics.learningConfig};
    for (const Button &button : config.buttons) {
        ownNode.insert(topics.buttonConfig(button.name));
    }
    for (const std::string &topic : retained.nodeConfigs) {
        if (ownNode.count(topic) == 0) {
            stale.push_back(topic);
        }
    }
    return stale;
}

std::vector<std::string> retiredTopics(const Config &config, const Retained &retained,
                                       const std::set<std::string> &keep) {
    const Topics topics(config);
    std::set<std::string> retired;
    if (retained.records.count(config.node) != 0) {
        retired.insert(topics.gateway);
    }
    if (!retained.status.empty()) {
        retired.insert(topics.status);
    }
    if (retained.learning) {
        retired.insert(topics.learning);
    }
    if (!config.discoveryPrefix.empty()) {
        retired.insert(retained.nodeConfigs.begin(), retained.nodeConfigs.end());
        const std::vector<std::string> remotes = unclaimedRemoteConfigs(config.node, topics, retained, {});
        retired.insert(remotes.begin(), remotes.end());
    }
    std::vector<std::string> topicsToClear;
    for (const std::string &topic : retired) {
        if (keep.count(topic) == 0) {
            topicsToClear.push_back(topic);
        }
    }
    return topicsToClear;
}

std::string announcedJson(const Announced &announced) {
    json record = {{"declared", pairs(announced.declared)}, {"heard", pairs(announced.heard)}};
    if (!announced.names.empty()) {
        json names = json::object();
        for (const auto &[remote, name] : announced.names) {
            names[std::to_string(remote)] = name;
        }
        record["names"] = names;
    }
    if (!announced.instance.empty()) {
        record["instance"] = announced.instance;
    }
    if (!announced.contestedBy.empty()) {
        record["contested_by"] = announced.contestedBy;
    }
    if (!announced.status.empty()) {
        record["status"] = announced.status;
    }
    return text(record);
}

bool parseAnnounced(const std::string &payload, Announced &announced) {
    const json record = json::parse(payload, nullptr, false);
    if (!record.is_object() || !readPairs(record.value("declared", json::array()), announced.declared) ||
        !readPairs(record.value("heard", json::array()), announced.heard)) {
        return false;
    }
    const json names = record.value("names", json::object());
    if (names.is_object()) {
        for (const auto &[remote, name] : names.items()) {
            char *end = nullptr;
            const unsigned long id = std::strtoul(remote.c_str(), &end, 10);
            if (name.is_string() && !remote.empty() && *end == '\0' && id <= kMaxRemote) {
                announced.names[static_cast<unsigned int>(id)] = name.get<std::string>();
            }
        }
    }
    const json instance = record.value("instance", json());
    const json contestedBy = record.value("contested_by", json());
    const json status = record.value("status", json());
    announced.instance = instance.is_string() ? instance.get<std::string>() : "";
    announced.contestedBy = contestedBy.is_string() ? contestedBy.get<std::string>() : "";
    announced.status = status.is_string() ? status.get<std::string>() : "";
    return true;
}

std::string buttonConfigJson(const Config &config, const Topics &topics, const Button &button) {
    return text({{"name", readableName(button.name)},
                 {"unique_id", "teruna_" + config.node + "_" + button.name},
                 {"command_topic", topics.buttonCommand(button.name)},
                 {"payload_press", "PRESS"},
                 {"availability", availability(topics)},
                 {"device", gatewayDevice(config)},
                 {"origin", origin()}});
}

std::string connectivityConfigJson(const Config &config, const Topics &topics) {
    return text({{"name", "Connection"},
                 {"unique_id", "teruna_" + config.node + "_connectivity"},
                 {"state_topic", topics.status},
                 {"payload_on", "online"},
                 {"payload_off", "offline"},
                 {"device_class", "connectivity"},
                 {"entity_category", "diagnostic"},
                 {"device", gatewayDevice(config)},
                 {"origin", origin()}});
}

std::string learnConfigJson(const Config &config, const Topics &topics) {
    return text({{"name", "Learn remotes"},
                 {"unique_id", "teruna_" + config.node + "_learn"},
                 {"command_topic", topics.learn},
                 {"payload_press", "PRESS"},
                 {"availability", availability(topics)},
                 {"device", gatewayDevice(config)},
                 {"origin", origin()}});
}

std::string learningConfigJson(const Config &config, const Topics &topics) {
    return text({{"name", "Learning remotes"},
                 {"unique_id", "teruna_" + config.node + "_learning"},
                 {"state_topic", topics.learning},
                 {"payload_on", "ON"},
                 {"payload_off", "OFF"},
                 {"availability", availability(topics)},
                 {"device", gatewayDevice(config)},
                 {"origin", origin()}});
}

std::string triggerConfigJson(const Topics &topics, unsigned int remote, unsigned int button, bool longPress,
                              const RemoteView &view) {
    return text({{"automation_type", "trigger"},
                 {"topic", topics.sharedButton(remote, button)},
                 {"payload", longPress ? kLongPress : kPress},
                 {"type", longPress ? "button_long_press" : "button_short_press"},
                 {"subtype", eventType(button)},
                 {"device", remoteDevice(remote, view)},
                 {"origin", origin()}});
}

std::string eventConfigJson(const Topics &topics, unsigned int remote, const RemoteView &view) {
    json types = json::array();
    for (const unsigned int button : view.buttons) {
        types.push_back(eventType(button));
        types.push_back(eventType(button, true));
    }
    return text({{"name", nullptr},
                 {"unique_id", "teruna_remote_" + std::to_string(remote) + "_press"},
                 {"state_topic", topics.sharedEvent(remote)},
                 {"event_types", types},
                 {"device_class", "button"},
                 {"device", remoteDevice(remote, view)},
                 {"origin", origin()}});
}

std::string pressPayload(const HeardPress &press, std::int64_t longPressUs) {
    return press.durationUs() >= longPressUs ? kLongPress : kPress;
}

namespace {

json eventOf(const HeardPress &press, std::int64_t longPressUs) {
    return {{"event_type", eventType(press.button, press.durationUs() >= longPressUs)},
            {"remote", press.remote},
            {"button", press.button},
            {"time", common::utcTime(press.beganUs)},
            {"duration_ms", press.durationUs() / 1000},
            {"node", press.node}};
}

bool readEvent(const json &event, HeardPress &press) {
    if (!event.is_object()) {
        return false;
    }
    const auto remote = event.find("remote");
    const auto button = event.find("button");
    const auto time = event.find("time");
    const auto duration = event.find("duration_ms");
    const auto node = event.find("node");
    if (remote == event.end() || button == event.end() || time == event.end() || duration == event.end() ||
        node == event.end() || !remote->is_number_unsigned() || !button->is_number_unsigned() || !time->is_string() ||
        !duration->is_number_integer() || !node->is_string() || remote->get<std::uint64_t>() > kMaxRemote ||
        button->get<std::uint64_t>() > kMaxButton || !readUtcTime(time->get<std::string>(), press.beganUs)) {
        return false;
    }
    press.remote = remote->get<unsigned int>();
    press.button = button->get<unsigned int>();
    press.endedUs = press.beganUs + duration->get<std::int64_t>() * 1000;
    press.node = node->get<std::string>();
    return true;
}

}  // namespace

std::string eventJson(const HeardPress &press, std::int64_t longPressUs) { return text(eventOf(press, longPressUs)); }

bool parseEvent(const std::string &payload, HeardPress &press) {
    return readEvent(json::parse(payload, nullptr, false), press);
}

std::string reportJson(const HeardPress &press, std::int64_t agoUs) {
    json report = eventOf(press, INT64_MAX);
    report["ended_ms_ago"] = agoUs / 1000;
    return text(report);
}

bool parseReport(const std::string &payload, HeardPress &press, std::int64_t &agoUs) {
    const json report = json::parse(payload, nullptr, false);
    if (!readEvent(report, press)) {
        return false;
    }
    const auto ago = report.find("ended_ms_ago");
    if (ago == report.end() || !ago->is_number_integer()) {
        return false;
    }
    agoUs = ago->get<std::int64_t>() * 1000;
    return true;
}

std::string readableName(const std::string &name) {
    std::string readable = name;
    for (char &c : readable) {
        if (c == '_' || c == '-') {
            c = ' ';
        }
    }
    if (!readable.empty()) {
        readable[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(readable[0])));
    }
    return readable;
}

}  // namespace mqtt
