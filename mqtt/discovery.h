// SPDX-License-Identifier: MIT
// What the gateway tells Home Assistant, and what gateways on one broker tell each other: the
// discovery configs, the record of what each gateway announces, and the event of a press.
#ifndef TERUNA_MQTT_DISCOVERY_H
#define TERUNA_MQTT_DISCOVERY_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "agreement.h"
#include "config.h"
#include "topics.h"

namespace mqtt {

using RemoteButton = std::pair<unsigned int, unsigned int>;

// What one gateway announces of the remotes, kept retained on its SHARED/gateway/NODE topic: a
// gateway that restarts with another configuration knows from it what it must clear, and
// every gateway learns from these records which others share the broker.
struct Announced {
    std::set<RemoteButton> declared;            // from `remote` lines
    std::set<RemoteButton> heard;               // learnt: heard while the learning window was open
    std::map<unsigned int, std::string> names;  // of the declared remotes, from their lines
    // The gateway process that wrote it, and one with the same node that found it in its place:
    // two gateways given one node learn it from each other.
    std::string instance;
    std::string contestedBy;
    std::string status;  // the gateway's status topic, which its last will keeps true

    // The remotes' discovery topics that this record stands for.
    [[nodiscard]] std::set<std::string> configTopics(const Topics &topics) const;
    [[nodiscard]] bool has(const RemoteButton &pair) const { return declared.count(pair) + heard.count(pair) != 0; }
};

// A remote as every gateway announces it, from all the records: named from the line of the
// first node by name that declares it, with the buttons any record holds.
struct RemoteView {
    std::string name;
    std::set<unsigned int> buttons;
};
RemoteView remoteView(const std::map<std::string, Announced> &records, unsigned int remote);

Announced announcedBy(const Config &config);

// What the broker keeps for one node, read back at each connection: the node's discovery
// configs that have a payload, and every gateway's record, this node's among them.
struct Retained {
    std::set<std::string> nodeConfigs;
    std::map<std::string, Announced> records;
    std::string status;     // the node's BASE/status
    bool learning = false;  // BASE/learning is kept
};

// The record a gateway announces: its configuration's remotes, and those learnt, by it
// (`heard`) or by its node before (`previous`), while discovery is on.
Announced nextRecord(const Config &config, const Announced &previous, const std::set<RemoteButton> &heard);
// The record as the other gateways read it, with the status topic its last will keeps true.
std::string recordJson(const Topics &topics, const Announced &record);
// Everything announced for `record` (its instance given), its own record last; `others`: the
// records of every gateway, from which each remote's configs are the same from all of them.
std::vector<std::pair<std::string, std::string>> announcement(const Config &config, const Topics &topics,
                                                              const Announced &record,
                                                              std::map<std::string, Announced> others = {});
// The retained configs to clear as `record` follows what the broker keeps: this node's that the
// configuration no longer has, and the remotes' its record held that no record claims now.
std::vector<std::string> staleConfigs(const Config &config, const Topics &topics, const Announced &record,
                                      const Retained &retained);
// Everything of `config`'s node the broker keeps, to clear when it is retired, but for the
// topics in `keep` (what the configuration that takes over announces).
std::vector<std::string> retiredTopics(const Config &config, const Retained &retained,
                                       const std::set<std::string> &keep = {});
std::string announcedJson(const Announced &announced);
// False when `payload` is not such a record.
bool parseAnnounced(const std::string &payload, Announced &announced);

// The gateway's own entities: its buttons, and its connection to the broker.
std::string buttonConfigJson(const Config &config, const Topics &topics, const Button &button);
std::string connectivityConfigJson(const Config &config, const Topics &topics);
std::string learnConfigJson(const Config &config, const Topics &topics);
std::string learningConfigJson(const Config &config, const Topics &topics);
// A remote's: byte for byte the same from every gateway, so the hub lists each once.
std::string triggerConfigJson(const Topics &topics, unsigned int remote, unsigned int button, bool longPress,
                              const RemoteView &view);
std::string eventConfigJson(const Topics &topics, unsigned int remote, const RemoteView &view);

// "press", or "long_press" for one held `longPressUs` or longer.
std::string pressPayload(const HeardPress &press, std::int64_t longPressUs);
// A press published on a remote's shared event topic; its event_type is button_N, or
// button_N_long for a long press.
std::string eventJson(const HeardPress &press, std::int64_t longPressUs = INT64_MAX);
// False when `payload` is not such an event.
bool parseEvent(const std::string &payload, HeardPress &press);
// A press reported to the gateway that publishes: the event, and how long ago the press ended
// by the clock of the gateway that heard it, which is all another gateway can use of its times.
std::string reportJson(const HeardPress &press, std::int64_t agoUs);
bool parseReport(const std::string &payload, HeardPress &press, std::int64_t &agoUs);

// "hall_light" → "Hall light"
std::string readableName(const std::string &name);

}  // namespace mqtt

#endif
