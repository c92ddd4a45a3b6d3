// SPDX-License-Identifier: MIT
// The gateway's configuration file: `key = value` lines, `#` comments.
#ifndef TERUNA_MQTT_CONFIG_H
#define TERUNA_MQTT_CONFIG_H

#include <cstddef>
#include <string>
#include <vector>

#include "TerunaCode.h"

namespace mqtt {

// A button announced to the hub and pressed through BASE/button/NAME/press.
struct Button {
    std::string name;  // "hall_light"
    unsigned int remote = 0;
    unsigned int button = 0;
};

// A remote declared with its buttons, announced to the hub before anyone presses it.
struct Remote {
    std::string name;  // "hall"
    unsigned int remote = 0;
    std::vector<unsigned int> buttons;  // ascending, each once
};

struct Config {
    std::string broker = "mqtt://localhost:1883";
    std::string host = "localhost";
    int port = 1883;
    bool tls = false;
    std::string username;
    std::string password;  // read from password_file; never printed
    std::string caFile;
    std::string node;   // default: the host name
    std::string topic;  // default: teruna/<node>
    int txPin = 0;      // wiringPi numbering
    int rxPin = -1;     // -1: no live listening
    std::string receiveFrom;
    std::string discoveryPrefix = "homeassistant";  // empty: no discovery
    // Where the hub says it is back: Home Assistant's own setting, whatever the prefix.
    std::string hubStatusTopic = "homeassistant/status";
    std::size_t queue = 16;
    std::vector<Button> buttons;
    std::vector<Remote> remotes;
    bool discoverHeard = false;          // the learning window always open
    int learnMinutes = 5;                // how long "Learn remotes" opens the window
    int longPressMs = 1000;              // a press held this long is a long press
    std::string sharedTopic = "teruna";  // topics every gateway shares
    int keepAliveS = 30;                 // MQTT keepalive
    bool nodeIsHostName = false;         // node fell back on the host name
};

// Reads the configuration in `text`, which came from `path` (the password file's path is taken
// as it is written). Returns "", or "PATH:LINE: why" for the first line it cannot take.
std::string parseConfig(const std::string &text, const std::string &path, Config &config);

// Ids a press may carry: as many as the code word holds.
constexpr unsigned int kMaxRemote = linecode::kRemoteMask;
constexpr unsigned int kMaxButton = linecode::kButtonMask;

}  // namespace mqtt

#endif
