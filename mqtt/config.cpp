// SPDX-License-Identifier: MIT
#include "config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "command-line.h"
#include "pins.h"

namespace mqtt {

namespace {

constexpr std::size_t kMaxQueue = 4096;
constexpr std::size_t kMaxText = 256;
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

bool isDigits(const std::string &text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Topics and names go to a broker, which takes only UTF-8, and on to the hub's screens and logs.
std::string whyNotText(const std::string &what, const std::string &text) {
    if (text.size() > kMaxText) {
        return what + " is over " + std::to_string(kMaxText) + " bytes";
    }
    constexpr unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // shorter forms are overlong
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        if (lead < 0x20 || lead == 0x7F) {
            return what + " holds a control character";
        }
        const std::size_t length = lead < 0x80             ? 1
                                   : (lead >> 5U) == 0x6U  ? 2
                                   : (lead >> 4U) == 0xEU  ? 3
                                   : (lead >> 3U) == 0x1EU ? 4
                                                           : 0;
        if (length == 0 || at + length > text.size()) {
            return what + " is not valid UTF-8";
        }
        unsigned long point = length == 1 ? lead : lead & (0xFFU >> (length + 1));
        for (std::size_t next = 1; next < length; ++next) {
            const auto byte = static_cast<unsigned char>(text[at + next]);
            if ((byte & 0xC0U) != 0x80U) {
                return what + " is not valid UTF-8";
            }
            point = point << 6U | (byte & 0x3FU);
        }
        if (point < kLeast[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return what + " is not valid UTF-8";
        }
        at += length;
    }
    return "";
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
std::string parseBroker(const std::string &value, Config &config) {
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
        const std::string portText = rest.substr(colon + 1);
        // strtol alone would take "+1883" and " 1883".
        const std::optional<long> port =
            isDigits(portText) ? common::wholeNumber(portText.c_str(), 1, 65535) : std::nullopt;
        if (!port) {
            return "the broker's port must be 1 to 65535, not '" + portText + "'";
        }
        config.port = static_cast<int>(*port);
        rest.resize(colon);
    }
    if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']') {
        rest = rest.substr(1, rest.size() - 2);
    }
    if (rest.empty() || rest.find_first_of("/[] \t") != std::string::npos) {
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
    if (password.empty()) {
        return "the first line of the password file " + path + " is empty";
    }
    return "";
}

// Why `name` cannot name one more of the `kind` ("button", "remote") already `known`, or "".
template <typename Named>
std::string whyNotAName(const std::string &kind, const std::string &name, const std::vector<Named> &known) {
    std::string why = whyNotText("a " + kind + "'s name", name);
    if (!why.empty()) {
        return why;
    }
    if (!isName(name)) {
        return "a " + kind + "'s name is letters, digits, '_' and '-', not '" + name + "'";
    }
    if (std::any_of(known.begin(), known.end(), [&](const Named &other) { return other.name == name; })) {
        return kind + " " + name + " is named twice";
    }
    return "";
}

// `value` written as digits alone, within `least` to `most`, into `number`; or why not.
std::string readWholeNumber(const std::string &key, const std::string &value, long least, long most, const char *unit,
                            int &number) {
    const std::optional<long> read = isDigits(value) ? common::wholeNumber(value.c_str(), least, most) : std::nullopt;
    if (!read) {
        return key + " must be " + std::to_string(least) + " to " + std::to_string(most) + unit + ", not '" + value +
               "'";
    }
    number = static_cast<int>(*read);
    return "";
}

std::string parseButton(const std::string &name, const std::string &value, Config &config) {
    std::string why = whyNotAName("button", name, config.buttons);
    if (!why.empty()) {
        return why;
    }
    if (name == "connectivity" || name == "learn") {
        return "button " + name + " would share its id with the gateway's own " + name + ": name it otherwise";
    }
    const std::size_t slash = value.find('/');
    const std::optional<long> remote =
        slash == std::string::npos ? std::nullopt : common::wholeNumber(value.substr(0, slash).c_str(), 0, kMaxRemote);
    const std::optional<long> button =
        remote ? common::wholeNumber(value.substr(slash + 1).c_str(), 0, kMaxButton) : std::nullopt;
    if (!button) {
        return "button " + name + " must be REMOTE/BUTTON, remote 0 to " + std::to_string(kMaxRemote) +
               " and button 0 to " + std::to_string(kMaxButton) + ", not '" + value + "'";
    }
    config.buttons.push_back({name, static_cast<unsigned int>(*remote), static_cast<unsigned int>(*button)});
    return "";
}

std::string quoted(const std::string &text) { return "'" + text + "'"; }

// "6400/1-4", "17/1,3,5-6": buttons and inclusive ranges, in any order.
std::string parseRemote(const std::string &name, const std::string &value, Config &config) {
    std::string why = whyNotAName("remote", name, config.remotes);
    if (!why.empty()) {
        return why;
    }
    std::string malformed =
        "remote " + name + " must be REMOTE/BUTTONS, as 6400/1-4 or 17/1,3,5-6, not '" + value + "'";
    const std::size_t slash = value.find('/');
    const std::string remoteText = trimmed(value.substr(0, slash));
    if (slash == std::string::npos || !isDigits(remoteText)) {
        return malformed;
    }
    const std::optional<long> remote = common::wholeNumber(remoteText.c_str(), 0, kMaxRemote);
    if (!remote) {
        return "remote " + name + "'s remote must be 0 to " + std::to_string(kMaxRemote) + ", not '" + remoteText + "'";
    }
    const auto same = std::find_if(config.remotes.begin(), config.remotes.end(), [&](const Remote &known) {
        return known.remote == static_cast<unsigned int>(*remote);
    });
    if (same != config.remotes.end()) {
        return "remotes " + same->name + " and " + name + " are both remote " + std::to_string(*remote);
    }
    const std::string list = value.substr(slash + 1);
    std::set<unsigned int> buttons;
    // Up to and including the end, so that an empty list or a trailing comma is an empty item.
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string item = trimmed(list.substr(start, comma - start));
        start = comma + 1;
        const std::size_t dash = item.find('-');
        const std::string first = trimmed(item.substr(0, dash));
        const std::string last = dash == std::string::npos ? first : trimmed(item.substr(dash + 1));
        if (!isDigits(first) || !isDigits(last)) {
            return malformed;
        }
        const std::optional<long> low = common::wholeNumber(first.c_str(), 0, kMaxButton);
        const std::optional<long> high = common::wholeNumber(last.c_str(), 0, kMaxButton);
        if (!low || !high) {
            return "remote " + name + "'s buttons must be 0 to " + std::to_string(kMaxButton) + ", not " + quoted(item);
        }
        if (*high < *low) {
            return "remote " + name + "'s range " + quoted(item) + " ends before it begins";
        }
        for (long button = *low; button <= *high; ++button) {
            buttons.insert(static_cast<unsigned int>(button));
        }
    }
    config.remotes.push_back({name, static_cast<unsigned int>(*remote), {buttons.begin(), buttons.end()}});
    return "";
}

std::string parseSetting(const std::string &key, const std::string &value, Config &config) {
    if (key == "broker") {
        return parseBroker(value, config);
    }
    const bool named = key == "username" || key == "node" || key == "topic" || key == "shared_topic" ||
                       key == "discovery_prefix" || key == "hub_status_topic";
    std::string why = named ? whyNotText(key, value) : "";
    if (!why.empty()) {
        return why;
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
        // A node's ids are teruna_NODE and teruna_NODE_BUTTON, a remote's teruna_remote_REMOTE:
        // with no '_' in a node, no two configurations share one.
        if (!isName(value) || value.find('_') != std::string::npos) {
            return "node is letters, digits and '-', not '" + value + "'";
        }
        if (value == "remote") {
            return "node remote would share its ids with the remotes': name it otherwise";
        }
        config.node = value;
    } else if (key == "topic") {
        if (!isTopic(value)) {
            return "topic must not be empty, hold '+' or '#', or begin or end with '/': '" + value + "'";
        }
        config.topic = value;
    } else if (key == "shared_topic") {
        if (!isTopic(value)) {
            return "shared_topic must not be empty, hold '+' or '#', or begin or end with '/': '" + value + "'";
        }
        config.sharedTopic = value;
    } else if (key == "tx_pin" || key == "rx_pin") {
        const std::optional<long> pin = common::wholeNumber(value.c_str(), 0, INT_MAX);
        if (!pin || gpio::bcmLineOf(static_cast<int>(*pin)) < 0) {
            return key + " must be a wiringPi pin, 0 to 16 or 21 to 31, not '" + value + "'";
        }
        (key == "tx_pin" ? config.txPin : config.rxPin) = static_cast<int>(*pin);
    } else if (key == "receive_from") {
        struct stat status {};
        if (stat(value.c_str(), &status) != 0) {
            return "receive_from " + value + ": " + std::strerror(errno);
        }
        if (S_ISDIR(status.st_mode)) {
            return "receive_from " + value + " is a directory, not a dump or a FIFO";
        }
        config.receiveFrom = value;
    } else if (key == "discovery_prefix") {
        if (value != "none" && !isTopic(value)) {
            return "discovery_prefix must be a topic or none, not '" + value + "'";
        }
        config.discoveryPrefix = value == "none" ? "" : value;
    } else if (key == "hub_status_topic") {
        if (!isTopic(value)) {
            return "hub_status_topic must not be empty, hold '+' or '#', or begin or end with '/': '" + value + "'";
        }
        config.hubStatusTopic = value;
    } else if (key == "queue") {
        const std::optional<long> queue = common::wholeNumber(value.c_str(), 1, kMaxQueue);
        if (!queue) {
            return "queue must be 1 to " + std::to_string(kMaxQueue) + ", not '" + value + "'";
        }
        config.queue = static_cast<std::size_t>(*queue);
    } else if (key == "keepalive") {
        // libmosquitto refuses a keepalive under 5 s.
        return readWholeNumber(key, value, 5, 3600, " seconds", config.keepAliveS);
    } else if (key == "learn_minutes") {
        return readWholeNumber(key, value, 1, 1440, "", config.learnMinutes);
    } else if (key == "long_press_ms") {
        return readWholeNumber(key, value, 100, 60000, "", config.longPressMs);
    } else if (key == "discover_heard") {
        if (value != "yes" && value != "no") {
            return "discover_heard must be yes or no, not '" + value + "'";
        }
        config.discoverHeard = value == "yes";
    } else {
        return "unknown key '" + key + "'";
    }
    return "";
}

// True when `inner` is `outer` or lies under it.
bool within(const std::string &inner, const std::string &outer) {
    return inner == outer || inner.rfind(outer + "/", 0) == 0;
}

// Why the gateway's own topics would be taken for the shared ones or the hub's, or "": its
// presses would be published twice on one topic, or read as another gateway's record.
std::string whyTopicsOverlap(const Config &config) {
    const std::string &base = config.topic;
    const std::string &shared = config.sharedTopic;
    if (base == shared || within(base, shared + "/gateway") || within(base, shared + "/remote") ||
        within(shared, base)) {
        return "topic " + base + " and shared_topic " + shared + " overlap: give each topics of its own";
    }
    const std::string &prefix = config.discoveryPrefix;
    if (!prefix.empty() && (within(base, prefix) || within(prefix, base))) {
        return "topic " + base + " and discovery_prefix " + prefix + " overlap: give each topics of its own";
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
        node += isName(std::string(1, *c)) && *c != '_' ? *c : '-';
    }
    return node.empty() || node == "remote" ? "teruna" : node;
}

}  // namespace

std::string parseConfig(const std::string &text, const std::string &path, Config &config) {
    const std::string bom = "\xEF\xBB\xBF";  // as some editors on Windows begin a file
    std::istringstream lines(text.rfind(bom, 0) == 0 ? text.substr(bom.size()) : text);
    std::string line;
    std::map<std::string, int> seen;  // each key given, with its line
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
            why = parseButton(trimmed(key.substr(6)), value, config);
        } else if (key.rfind("remote", 0) == 0 && key.size() > 6 && std::strchr(kBlanks, key[6]) != nullptr) {
            why = parseRemote(trimmed(key.substr(6)), value, config);
        } else if (value.empty()) {
            why = key + " needs a value";
        } else if (!seen.emplace(key, number).second) {
            why = key + " is given twice";
        } else {
            why = parseSetting(key, value, config);
        }
        if (!why.empty()) {
            return where + why;
        }
    }
    if (config.node.empty()) {
        config.node = hostName();
        config.nodeIsHostName = true;
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
    // Either line may come first, and the broker may be the default: these wait for the whole file.
    if (!config.caFile.empty() && !config.tls) {
        return path + ":" + std::to_string(seen["ca_file"]) + ": ca_file is only for an mqtts:// broker, not " +
               config.broker;
    }
    if (seen.count("password_file") != 0 && config.username.empty()) {
        return path + ":" + std::to_string(seen["password_file"]) + ": password_file needs a username";
    }
    const std::string overlap = whyTopicsOverlap(config);
    if (!overlap.empty()) {
        // On the line of the key that made the gateway's topic, given or taken by default.
        int at = 0;
        for (const char *key : {"topic", "node", "shared_topic", "discovery_prefix"}) {
            if (at == 0 && seen.count(key) != 0) {
                at = seen[key];
            }
        }
        return path + (at > 0 ? ":" + std::to_string(at) : "") + ": " + overlap;
    }
    return "";
}

}  // namespace mqtt
