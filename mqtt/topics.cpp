// SPDX-License-Identifier: MIT
#include "topics.h"

namespace mqtt {

namespace {

const std::string kButtonsAt = "/button/";
const std::string kPress = "/press";

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
    sharedEvents = shared_ + "/remote/+/event";
    gateway = shared_ + "/gateway/" + node_;
    gateways = shared_ + "/gateway/+";
    if (!prefix_.empty()) {
        hubStatus = prefix_ + "/status";
        nodeConfigs = prefix_ + "/+/" + node_ + "/+/config";
        connectivityConfig = prefix_ + "/binary_sensor/" + node_ + "/connectivity/config";
    }
}

std::string Topics::buttonNamed(const std::string &topic) const {
    const std::string at = base_ + kButtonsAt;
    if (topic.size() <= at.size() + kPress.size() || topic.compare(0, at.size(), at) != 0 ||
        topic.compare(topic.size() - kPress.size(), kPress.size(), kPress) != 0) {
        return "";
    }
    const std::string name = topic.substr(at.size(), topic.size() - at.size() - kPress.size());
    return name.find('/') == std::string::npos ? name : "";
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
std::string Topics::triggerConfig(unsigned int remote, unsigned int button) const {
    return prefix_ + "/device_automation/teruna_remote_" + std::to_string(remote) + "/button_" +
           std::to_string(button) + "/config";
}

std::string Topics::eventConfig(unsigned int remote) const {
    return prefix_ + "/event/teruna_remote_" + std::to_string(remote) + "/press/config";
}

}  // namespace mqtt
