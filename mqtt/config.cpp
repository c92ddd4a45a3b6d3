// SPDX-License-Identifier: MIT
#include "config.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "pins.h"

namespace mqtt {

namespace {

constexpr std::size_t kMaxQueue = 4096;
constexpr const char *kBlanks = " \t\r";

std::string trimmed(const std::string &text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A '#' at the start of a line or after a blank begins a comment.
std::string withoutComment(const std::string &line) {
    for (std::size_t at = 0; at < line.size(); ++at) {
        if (line[at] == '#' && (at == 0 || std::strchr(kBlanks, line[at - 1]) != nullptr)) {
            return line.substr(0, at);
        }
    }
    return line;
}

bool toNumber(const std::string &text, long low, long high, long &value) {
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && errno == 0 && *end == '\0' && value >= low && value <= high;
}

// Topic levels that a name becomes: no wildcards, no level separator, nothing invisible.
bool isName(const std::string &text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-')) {
            return false;
        }
    }
    return true;
}

bool isTopic(const std::string &text) {
    return !text.empty() && text.find_first_of("+#") == std::string::npos && text.front() != '/' && text.back() != '/';
}

// "mqtt://HOST:PORT" or "mqtts://HOST:PORT"; the port may be left out.
std::string takeBroker(const std::string &value, Config &config) {
    const std::size_t scheme = value.find("://");
    const std::string kind = scheme == std::string::npos ? "" : value.substr(0, scheme);
    if (kind != "mqtt" && kind != "mqtts") {
        return "broker must be mqtt://HOST:PORT or mqtts://HOST:PORT, not '" + value + "'";
    }
    config.tls = kind == "mqtts";
    std::string rest = value.substr(scheme + 3);
    config.port = config.tls ? 8883 : 1883;
    // "[::1]:1883": an address with colons of its own is bracketed.
    const std::size_t hostEnd = !rest.empty() && rest.front() == '[' ? rest.find(']') + 1 : 0;
    const std::size_t colon = rest.find(':', hostEnd);
    if (colon != std::string::npos) {
        long port = 0;
        if (!toNumber(rest.substr(colon + 1), 1, 65535, port)) {
            return "the broker's port must be 1 to 65535, not '" + rest.substr(colon + 1) + "'";
        }
        config.port = static_cast<int>(port);
        rest.resize(colon);
    }
    if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']') {
        rest = rest.substr(1, rest.size() - 2);
    }
    if (rest.empty() || rest.find_first_of("/[] ") != std::string::npos) {
        return "the broker's host is missing or malformed in '" + value + "'";
    }
    config.host = rest;
    config.broker = value;
    return "";
}

std::string readPassword(const std::string &path, std::string &password) {
    std::ifstream file(path);
    if (!file) {
        return "cannot read the password file " + path + ": " + std::strerror(errno);
    }
    std::getline(file, password);
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    if (file.bad()) {
        return "cannot read the password file " + path;
    }
    return "";
}

std::string takeButton(const std::string &name, const std::string &value, Config &config) {
    if (!isName(name)) {
        return "a button's name is letters, digits, '_' and '-', not '" + name + "'";
    }
    for (const Button &known : config.buttons) {
        if (known.name == name) {
            return "button " + name + " is named twice";
        }
    }
    const std::size_t slash = value.find('/');
    long remote = 0;
    long button = 0;
    if (slash == std::string::npos || !toNumber(value.substr(0, slash), 0, kMaxRemote, remote) ||
        !toNumber(value.substr(slash + 1), 0, kMaxButton, button)) {
        return "button " + name + " must be REMOTE/BUTTON, remote 0 to 65535 and button 0 to 127, not '" + value + "'";
    }
    config.buttons.push_back({name, static_cast<unsigned int>(remote), static_cast<unsigned int>(button)});
    return "";
}

std::string takeSetting(const std::string &key, const std::string &value, Config &config) {
    long number = 0;
    if (key == "broker") {
        return takeBroker(value, config);
    }
    if (key == "username") {
        config.username = value;
    } else if (key == "password_file") {
        return readPassword(value, config.password);
    } else if (key == "ca_file") {
        if (access(value.c_str(), R_OK) != 0) {
            return "cannot read the CA file " + value + ": " + std::strerror(errno);
        }
        config.caFile = value;
    } else if (key == "node") {
        if (!isName(value)) {
            return "node is letters, digits, '_' and '-', not '" + value + "'";
        }
        config.node = value;
    } else if (key == "topic") {
        if (!isTopic(value)) {
            return "topic must not be empty, hold '+' or '#', or begin or end with '/': '" + value + "'";
        }
        config.topic = value;
    } else if (key == "tx_pin" || key == "rx_pin") {
        if (!toNumber(value, 0, INT_MAX, number) || gpio::bcmLineOf(static_cast<int>(number)) < 0) {
            return key + " must be a wiringPi pin, 0 to 16 or 21 to 31, not '" + value + "'";
        }
        (key == "tx_pin" ? config.txPin : config.rxPin) = static_cast<int>(number);
    } else if (key == "receive_from") {
        config.receiveFrom = value;
    } else if (key == "discovery_prefix") {
        if (value != "none" && !isTopic(value)) {
            return "discovery_prefix must be a topic or none, not '" + value + "'";
        }
        config.discoveryPrefix = value == "none" ? "" : value;
    } else if (key == "queue") {
        if (!toNumber(value, 1, kMaxQueue, number)) {
            return "queue must be 1 to 4096, not '" + value + "'";
        }
        config.queue = static_cast<std::size_t>(number);
    } else {
        return "unknown key '" + key + "'";
    }
    return "";
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "teruna";
    }
    std::string node;
    for (const char *c = name; *c != '\0' && *c != '.'; ++c) {
        node += isName(std::string(1, *c)) ? *c : '_';
    }
    return node.empty() ? "teruna" : node;
}

}  // namespace

std::string parseConfig(const std::string &text, const std::string &path, Config &config) {
    std::istringstream lines(text);
    std::string line;
    std::set<std::string> seen;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = trimmed(withoutComment(line));
        if (line.empty()) {
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (equals == std::string::npos) {
            return where + "expected 'key = value'";
        }
        std::string key = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        std::string why;
        if (key.rfind("button", 0) == 0 && key.size() > 6 && std::strchr(kBlanks, key[6]) != nullptr) {
            why = takeButton(trimmed(key.substr(6)), value, config);
        } else if (value.empty()) {
            why = key + " needs a value";
        } else if (!seen.insert(key).second) {
            why = key + " is given twice";
        } else {
            why = takeSetting(key, value, config);
        }
        if (!why.empty()) {
            return where + why;
        }
    }
    if (config.node.empty()) {
        config.node = hostName();
    }
    if (config.topic.empty()) {
        config.topic = "teruna/" + config.node;
    }
    if (config.rxPin >= 0 && !config.receiveFrom.empty()) {
        return path + ": rx_pin and receive_from both name an input; give one";
    }
    if (config.rxPin >= 0 && config.rxPin == config.txPin) {
        return path + ": rx_pin and tx_pin are both pin " + std::to_string(config.txPin);
    }
    return "";
}

}  // namespace mqtt
