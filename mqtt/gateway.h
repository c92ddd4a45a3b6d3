// SPDX-License-Identifier: MIT
// The gateway's side of the broker: it connects and keeps connecting, takes requests into the
// queue, and publishes what was sent, refused and heard. Its thread runs at normal priority.
#ifndef TERUNA_MQTT_GATEWAY_H
#define TERUNA_MQTT_GATEWAY_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "Press.h"
#include "config.h"
#include "messages.h"
#include "queue.h"

struct mosquitto;
struct mosquitto_message;

namespace mqtt {

// Presses heard while the broker is away, kept for when it is back.
constexpr std::size_t kHeardWhileAway = 256;
constexpr int kFirstRetryS = 1;
constexpr int kLastRetryS = 60;

class Gateway {
public:
    Gateway(const Config &config, Queue &queue);
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;
    ~Gateway();

    // Starts connecting in a thread of its own. Returns "", or why the client cannot be set up.
    std::string start();

    void sent(const Request &request, std::int64_t startUs, double waitedMs, double tookMs);
    void refuse(const std::string &reason, const std::string &payload, const std::string &id = "");
    void heard(const rx::Press &press, std::int64_t heardUs);

    // Publishes `offline`, disconnects and ends the thread.
    void stop();

private:
    struct Heard {
        rx::Press press;
        std::int64_t heardUs;
    };

    void run();
    void waitBeforeRetry();
    void say(const std::string &state, const std::string &why);
    void connected();
    void take(const mosquitto_message &message);
    void publish(const std::string &topic, const std::string &payload, bool retain = false);
    void publishHeld();
    void goodbye();

    const Config &config_;
    Queue &queue_;
    mosquitto *client_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex sleepMutex_;
    std::condition_variable wake_;
    int retryS_ = kFirstRetryS;
    std::string lastSaid_;

    std::mutex heardMutex_;  // guards what follows
    bool online_ = false;
    std::deque<Heard> held_;
    unsigned long droppedWhileAway_ = 0;
    std::set<std::pair<unsigned int, unsigned int>> announced_;  // remote and button pairs with a device trigger
    int goodbyeMid_ = -1;
    std::atomic<bool> goodbyeAcknowledged_{false};
};

}  // namespace mqtt

#endif
