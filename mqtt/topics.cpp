// SPDX-License-Identifier: MIT
#include "topics.h"

#include <algorithm>
#include <vector>

namespace mqtt {

namespace {

const std::string kButtonsAt = "/button/";
const std::string kPress = "/press";

// The levels of `topic` after `prefix` and a '/'; false when it does not begin so.
bool levelsAfter(const std::string &topic, const std::string &prefix, std::vector<std::string> &levels) {
    if (prefix.empty() || topic.size() <= prefix.size() + 1 || topic.compare(0, prefix.size(), prefix) != 0 ||
        topic[prefix.size()] != '/') {
        return false;
    }
    levels.clear();
    for (std::size_t at = prefix.size() + 1;;) {
        const std::size_t slash = topic.find('/', at);
        levels.push_back(topic.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
        if (slash == std::string::npos) {
            return std::find(levels.begin(), levels.end(), "") == levels.end();
        }
        at = slash + 1;
    }
}

// A remote's id as a topic level writes it: digits, no leading zero, within range.
bool remoteOf(const std::string &level, unsigned int &remote) {
    if (level.empty() || level.size() > 5 || (level.size() > 1 && level[0] == '0') ||
        level.find_first_not_of("0123456789") != std::string::npos || std::stoul(level) > kMaxRemote) {
        return false;
    }
    remote = static_cast<unsigned int>(std::stoul(level));
    return true;
}

const std::string kRemoteDevice = "teruna_remote_";

// "button_3" or "button_3_long": a trigger's level.
bool triggerOf(const std::string &level, unsigned int &button, bool &longPress) {
    const std::string prefix = "button_";
    const std::string suffix = "_long";
    if (level.rfind(prefix, 0) != 0) {
        return false;
    }
    std::string digits = level.substr(prefix.size());
    const bool held =
        digits.size() > suffix.size() && digits.compare(digits.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (held) {
        digits.resize(digits.size() - suffix.size());
    }
    unsigned int number = 0;
    if (!remoteOf(digits, number) || number > kMaxButton) {
        return false;
    }
    button = number;
    longPress = held;
    return true;
}

}  // namespace

Topics::Topics(const Config &config)
    : base_(config.topic), shared_(config.sharedTopic), prefix_(config.discoveryPrefix), node_(config.node) {
    status = base_ + "/status";
    send = base_ + "/send";
    buttonPress = base_ + kButtonsAt + "+" + kPress;
    received = base_ + "/received";
    sent = base_ + "/sent";
    error = base_ + "/error";
    sync = base_ + "/sync";
    learn = base_ + "/learn";
    learning = base_ + "/learning";
    sharedEvents = shared_ + "/remote/+/event";
    gateway = shared_ + "/gateway/" + node_;
    gateways = shared_ + "/gateway/+";
    report = gateway + "/heard";
    reports = gateways + "/heard";
    if (!prefix_.empty()) {
        hubStatus = config.hubStatusTopic;
        nodeConfigs = prefix_ + "/+/" + node_ + "/+/config";
        connectivityConfig = prefix_ + "/binary_sensor/" + node_ + "/connectivity/config";
        learnConfig = buttonConfig("learn");
        learningConfig = prefix_ + "/binary_sensor/" + node_ + "/learning/config";
    }
}

Topics::Parsed Topics::parse(const std::string &topic) const {
    using Kind = Parsed::Kind;
    Parsed parsed;
    std::vector<std::string> levels;
    if (topic == send || topic == sync || topic == learn || (!prefix_.empty() && topic == hubStatus)) {
        parsed.kind = topic == send    ? Kind::send
                      : topic == sync  ? Kind::sync
                      : topic == learn ? Kind::learn
                                       : Kind::hubStatus;
    } else if (levelsAfter(topic, base_, levels) && levels.size() == 3 && levels[0] == "button" &&
               levels[2] == "press") {
        parsed.kind = Kind::buttonPress;
        parsed.name = levels[1];
    } else if (levelsAfter(topic, shared_, levels) && levels[0] == "gateway" &&
               (levels.size() == 2 || (levels.size() == 3 && levels[2] == "heard"))) {
        parsed.kind = levels.size() == 2 ? Kind::record : Kind::report;
        parsed.name = levels[1];
    } else if (levelsAfter(topic, shared_, levels) && levels.size() == 3 && levels[0] == "remote" &&
               levels[2] == "event" && remoteOf(levels[1], parsed.remote)) {
        parsed.kind = Kind::sharedEvent;
    } else if (levelsAfter(topic, prefix_, levels) && levels.size() == 4 && levels[1] == node_ &&
               levels[3] == "config") {
        parsed.kind = Kind::nodeConfig;
    } else if (unsigned int remote = 0; levelsAfter(topic, prefix_, levels) && levels.size() == 4 &&
                                        levels[3] == "config" && levels[1].rfind(kRemoteDevice, 0) == 0 &&
                                        remoteOf(levels[1].substr(kRemoteDevice.size()), remote)) {
        if (levels[0] == "event" && levels[2] == "press") {
            parsed.kind = Kind::eventConfig;
            parsed.remote = remote;
        } else if (levels[0] == "device_automation" && triggerOf(levels[2], parsed.button, parsed.longPress)) {
            parsed.kind = Kind::triggerConfig;
            parsed.remote = remote;
        }
    }
    return parsed;
}

std::string Topics::buttonCommand(const std::string &name) const { return base_ + kButtonsAt + name + kPress; }

std::string Topics::nodeButton(unsigned int remote, unsigned int button) const {
    return base_ + "/remote/" + std::to_string(remote) + "/button/" + std::to_string(button);
}

std::string Topics::sharedButton(unsigned int remote, unsigned int button) const {
    return shared_ + "/remote/" + std::to_string(remote) + "/button/" + std::to_string(button);
}

std::string Topics::sharedEvent(unsigned int remote) const {
    return shared_ + "/remote/" + std::to_string(remote) + "/event";
}

std::string Topics::buttonConfig(const std::string &name) const {
    return prefix_ + "/button/" + node_ + "/" + name + "/config";
}

// A remote's configs are the same from every gateway: under the remote, not the node.
std::string Topics::triggerConfig(unsigned int remote, unsigned int button, bool longPress) const {
    return prefix_ + "/device_automation/" + kRemoteDevice + std::to_string(remote) + "/button_" +
           std::to_string(button) + (longPress ? "_long" : "") + "/config";
}

std::string Topics::triggerConfigs(unsigned int remote) const {
    return prefix_ + "/device_automation/" + kRemoteDevice + std::to_string(remote) + "/+/config";
}

std::string Topics::eventConfig(unsigned int remote) const {
    return prefix_ + "/event/" + kRemoteDevice + std::to_string(remote) + "/press/config";
}

}  // namespace mqtt
