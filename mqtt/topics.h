// SPDX-License-Identifier: MIT
// Every topic the gateway uses, built once from its configuration, and taken apart here alone.
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
    std::string sync;      // marks the end of the retained messages a subscription brings
    std::string learn;     // opens the learning window
    std::string learning;  // ON while the window is open, retained
    [[nodiscard]] std::string buttonCommand(const std::string &name) const;
    // Presses this gateway heard, for automations on one Pi.
    [[nodiscard]] std::string nodeButton(unsigned int remote, unsigned int button) const;

    // Shared by every gateway on the broker.
    [[nodiscard]] std::string sharedButton(unsigned int remote, unsigned int button) const;
    [[nodiscard]] std::string sharedEvent(unsigned int remote) const;
    std::string sharedEvents;  // filter: SHARED/remote/+/event
    std::string gateway;       // SHARED/gateway/NODE: what this gateway announces, retained
    std::string gateways;      // filter: SHARED/gateway/+
    std::string report;        // SHARED/gateway/NODE/heard: presses heard, for the gateway that publishes
    std::string reports;       // filter: SHARED/gateway/+/heard

    // Home Assistant's discovery; empty when it is off.
    std::string hubStatus;    // the hub's birth and last will
    std::string nodeConfigs;  // filter: PREFIX/+/NODE/+/config
    std::string connectivityConfig;
    std::string learnConfig;     // the button that opens the learning window
    std::string learningConfig;  // the binary_sensor that shows it
    [[nodiscard]] std::string buttonConfig(const std::string &name) const;
    [[nodiscard]] std::string triggerConfig(unsigned int remote, unsigned int button, bool longPress = false) const;
    [[nodiscard]] std::string triggerConfigs(unsigned int remote) const;  // filter
    [[nodiscard]] std::string eventConfig(unsigned int remote) const;

    // What a topic the gateway subscribed to is, and what it names.
    struct Parsed {
        enum class Kind {
            other,
            send,
            buttonPress,
            learn,
            sync,
            record,
            report,
            sharedEvent,
            hubStatus,
            nodeConfig,
            triggerConfig,
            eventConfig
        };
        Kind kind = Kind::other;
        std::string name;         // the button of buttonPress; the node of record and report
        unsigned int remote = 0;  // of sharedEvent, triggerConfig and eventConfig
        unsigned int button = 0;  // of triggerConfig
        bool longPress = false;   // of triggerConfig
    };
    [[nodiscard]] Parsed parse(const std::string &topic) const;

private:
    std::string base_;
    std::string shared_;
    std::string prefix_;
    std::string node_;
};

}  // namespace mqtt

#endif
