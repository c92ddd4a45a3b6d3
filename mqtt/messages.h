// SPDX-License-Identifier: MIT
// What goes over the broker: requests read from JSON, and the JSON of what the gateway reports.
#ifndef TERUNA_MQTT_MESSAGES_H
#define TERUNA_MQTT_MESSAGES_H

#include <cstdint>
#include <string>

#include "Press.h"
#include "config.h"

namespace mqtt {

// A request for one press.
struct Request {
    unsigned int remote = 0;
    unsigned int button = 0;
    std::string id;  // empty when the request carries none
    std::string payload;
    std::int64_t arrivedNs = 0;  // CLOCK_MONOTONIC
};

// Requests longer than this are refused unread.
constexpr std::size_t kMaxPayload = 1024;

// Reads a request published on BASE/send: {"remote": 6400, "button": 3, "id": "..."}. Returns
// "", or why it is refused.
std::string parseSend(const std::string &payload, Request &request);
// The id of a request, when it gives one that can be read: for the reply to a refusal.
std::string idOf(const std::string &payload);

// One press sent: when it began, how long it waited and how long it took, in milliseconds.
std::string sentJson(const Request &request, std::int64_t startUs, double waitedMs, double tookMs);

// A request refused for `why`, with the request cut to 256 bytes.
std::string errorJson(const std::string &why, const std::string &payload, const std::string &id = "");

// A press heard: teruna-sniff's JSON of it, with when it began (microseconds since the epoch)
// and `node`.
std::string receivedJson(const rx::Press &press, const std::string &node, std::int64_t beganUs);

}  // namespace mqtt

#endif
