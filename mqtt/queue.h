// SPDX-License-Identifier: MIT
// The presses waiting to be sent: bounded, in arrival order, and each id taken once within ten
// minutes, since a broker may deliver a request again after a reconnect.
#ifndef TERUNA_MQTT_QUEUE_H
#define TERUNA_MQTT_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "messages.h"

namespace mqtt {

constexpr std::int64_t kRepeatWindowNs = 600'000'000'000;
// Ids remembered at most: a flood of distinct ids must not grow the gateway without bound.
constexpr std::size_t kRememberedIds = 4096;

class Queue {
public:
    enum class Taken { queued, full, repeated, stopped };

    explicit Queue(std::size_t capacity) : capacity_(capacity) {}

    // Takes `request` unless the queue is full or stopped, or its id was taken within the window.
    Taken push(const Request &request);

    // Waits for the next request. False once the queue is stopped.
    bool pop(Request &request);

    // Stops the queue and hands back what was waiting.
    std::vector<Request> stop();

private:
    bool seenRecently(const std::string &id, std::int64_t nowNs);

    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Request> waiting_;
    bool stopped_ = false;
    std::map<std::string, std::int64_t> idTimes_;
    std::deque<std::pair<std::int64_t, std::string>> idOrder_;  // oldest first
};

}  // namespace mqtt

#endif
