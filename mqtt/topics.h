// SPDX-License-Identifier: MIT
// Every topic the gateway uses, built once from its configuration.
#ifndef TERUNA_MQTT_TOPICS_H
#define TERUNA_MQTT_TOPICS_H

#include <string>

#include "config.h"

namespace mqtt {

struct Topics {
    explicit Topics(const Config &config);

    // Under the gateway's own base topic.
    std::string status;       // online/offline, retained; the last will
    std::string send;         // requests as JSON
    std::string buttonPress;  // filter: BASE/button/+/press
    std::string received;
    std::string sent;
    std::string error;
    std::string sync;  // marks the end of the retained messages a subscription brings
    [[nodiscard]] std::string buttonCommand(const std::string &name) const;
    // The button named in a topic of `buttonPress`; empty when the topic is not one.
    [[nodiscard]] std::string buttonNamed(const std::string &topic) const;
    // Presses this gateway heard, for automations on one Pi.
    [[nodiscard]] std::string nodeButton(unsigned int remote, unsigned int button) const;

    // Shared by every gateway on the broker.
    [[nodiscard]] std::string sharedButton(unsigned int remote, unsigned int button) const;
    [[nodiscard]] std::string sharedEvent(unsigned int remote) const;
    std::string sharedEvents;  // filter: SHARED/remote/+/event
    std::string gateway;       // SHARED/gateway/NODE: what this gateway announces, retained
    std::string gateways;      // filter: SHARED/gateway/+

    // Home Assistant's discovery; empty when it is off.
    std::string hubStatus;    // PREFIX/status: the hub's birth and last will
    std::string nodeConfigs;  // filter: PREFIX/+/NODE/+/config
    std::string connectivityConfig;
    [[nodiscard]] std::string buttonConfig(const std::string &name) const;
    [[nodiscard]] std::string triggerConfig(unsigned int remote, unsigned int button) const;
    [[nodiscard]] std::string eventConfig(unsigned int remote) const;

private:
    std::string base_;
    std::string shared_;
    std::string prefix_;
    std::string node_;
};

}  // namespace mqtt

#endif
