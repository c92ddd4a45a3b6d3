// SPDX-License-Identifier: MIT
#include "discovery.h"

#include <cctype>
#include <ctime>
#include <nlohmann/json.hpp>

#include "clocks.h"
#include "messages.h"

namespace mqtt {

namespace {

using nlohmann::json;

std::string text(const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

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

json remoteDevice(unsigned int remote) {
    return {{"identifiers", json::array({"teruna_remote_" + std::to_string(remote)})},
            {"name", "Teruna remote " + std::to_string(remote)},
            {"manufacturer", "teruna"},
            {"model", "remote"}};
}

std::string eventType(unsigned int button) { return "button_" + std::to_string(button); }

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
        }
    }
    for (const RemoteButton &pair : declared) {
        found.insert(topics.eventConfig(pair.first));
    }
    return found;
}

Announced announcedBy(const Config &config) {
    Announced announced;
    for (const Remote &remote : config.remotes) {
        for (const unsigned int button : remote.buttons) {
            announced.declared.emplace(remote.remote, button);
        }
    }
    return announced;
}

Announced nextRecord(const Config &config, const Announced &previous, const std::set<RemoteButton> &heard) {
    Announced next = announcedBy(config);
    if (config.discoverHeard && !config.discoveryPrefix.empty()) {
        next.heard.insert(previous.heard.begin(), previous.heard.end());
        next.heard.insert(heard.begin(), heard.end());
    }
    for (const RemoteButton &pair : next.declared) {
        next.heard.erase(pair);
    }
    return next;
}

std::vector<std::pair<std::string, std::string>> announcement(const Config &config, const Topics &topics,
                                                              const Announced &record) {
    std::vector<std::pair<std::string, std::string>> messages;
    if (!config.discoveryPrefix.empty()) {
        messages.emplace_back(topics.connectivityConfig, connectivityConfigJson(config, topics));
        for (const Button &button : config.buttons) {
            messages.emplace_back(topics.buttonConfig(button.name), buttonConfigJson(config, topics, button));
        }
        for (const Remote &remote : config.remotes) {
            messages.emplace_back(topics.eventConfig(remote.remote), eventConfigJson(topics, remote));
        }
        for (const auto *set : {&record.declared, &record.heard}) {
            for (const RemoteButton &pair : *set) {
                messages.emplace_back(topics.triggerConfig(pair.first, pair.second),
                                      triggerConfigJson(topics, pair.first, pair.second));
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
    std::set<std::string> ownNode = {topics.connectivityConfig};
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

std::string triggerConfigJson(const Topics &topics, unsigned int remote, unsigned int button) {
    return text({{"automation_type", "trigger"},
                 {"topic", topics.sharedButton(remote, button)},
                 {"payload", "press"},
                 {"type", "button_short_press"},
                 {"subtype", eventType(button)},
                 {"device", remoteDevice(remote)},
                 {"origin", origin()}});
}

std::string eventConfigJson(const Topics &topics, const Remote &remote) {
    json types = json::array();
    for (const unsigned int button : remote.buttons) {
        types.push_back(eventType(button));
    }
    return text({{"name", readableName(remote.name)},
                 {"unique_id", "teruna_remote_" + std::to_string(remote.remote) + "_press"},
                 {"state_topic", topics.sharedEvent(remote.remote)},
                 {"event_types", types},
                 {"device_class", "button"},
                 {"device", remoteDevice(remote.remote)},
                 {"origin", origin()}});
}

namespace {

json eventOf(const HeardPress &press) {
    return {{"event_type", eventType(press.button)},
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

std::string eventJson(const HeardPress &press) { return text(eventOf(press)); }

bool parseEvent(const std::string &payload, HeardPress &press) {
    return readEvent(json::parse(payload, nullptr, false), press);
}

std::string reportJson(const HeardPress &press, std::int64_t agoUs) {
    json report = eventOf(press);
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
