// SPDX-License-Identifier: MIT
// Clears, with a client of its own, everything of one node that the broker keeps: its discovery
// configs, its record, its status, and the remotes' configs that only its record claimed. For
// `teruna-mqtt --retire`, and for a reload that renames the node or moves its topics.
#ifndef TERUNA_MQTT_RETIRE_H
#define TERUNA_MQTT_RETIRE_H

#include <set>
#include <string>
#include <vector>

#include "config.h"

namespace mqtt {

struct Retirement {
    std::string why;                   // "" when it is done
    std::vector<std::string> cleared;  // the topics cleared
};

// Retires `config`'s node, but for the topics in `keep`. Unless `evenOnline`, a node whose
// status is online (a gateway runs as it) is left as it is.
Retirement retire(const Config &config, const std::set<std::string> &keep = {}, bool evenOnline = false);

}  // namespace mqtt

#endif
