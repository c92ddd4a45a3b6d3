// SPDX-License-Identifier: MIT
// The gateway's side of the broker: it connects and keeps connecting, takes requests into the
// queue, publishes what was sent, refused and heard, keeps Home Assistant's discovery true to
// the configuration, and follows the agreement between the gateways on the broker on which of
// them publishes the presses they hear. Its thread runs at normal priority.
#ifndef TERUNA_MQTT_GATEWAY_H
#define TERUNA_MQTT_GATEWAY_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "Press.h"
#include "agreement.h"
#include "config.h"
#include "connection.h"
#include "discovery.h"
#include "messages.h"
#include "queue.h"
#include "thread.h"
#include "topics.h"

namespace mqtt {

// Presses heard while the broker is away, kept for when it is back.
constexpr std::size_t kHeardWhileAway = 256;
class Gateway : private ConnectionEvents {
public:
    Gateway(const Config &config, Queue &queue);
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;
    ~Gateway();

    // Sets up the client and starts connecting in a thread of its own. Returns "", or why the
    // client cannot be set up.
    std::string start();

    void sent(const Request &request, std::int64_t startUs, double waitedMs, double tookMs);
    void refuse(const std::string &why, const std::string &payload, const std::string &id = "");
    // The refusal of a request still queued when the gateway stops.
    static constexpr const char *kCancelledAtStop = "cancelled at stop";
    // A press heard, with when it began and ended (µs since the epoch). One heard while
    // `onTheAirLately` says this gateway's transmitter was on the air is its own, heard back.
    void heard(const rx::Press &press, std::int64_t beganUs, std::int64_t endedUs);
    void hearsBack(std::function<bool(std::int64_t nowNs)> onTheAirLately) {
        onTheAirLately_ = std::move(onTheAirLately);
    }

    // Takes a new configuration: announces and clears to match it, and connects again when
    // the broker's settings changed. Applied by the gateway's thread.
    void reload(const Config &config);

    // Publishes `offline`, disconnects and ends the thread.
    void stop();

private:
    struct Heard {
        rx::Press press;
        std::int64_t beganUs;
        std::int64_t endedUs;
    };
    using Clock = std::chrono::steady_clock;

    std::string setUpClient();
    void run();
    void waitBeforeRetry();

    // From the connection, on the gateway's thread.
    void onOnline() override;
    void onOffline() override;
    void onSubscribe(int mid, int count, const int *granted) override;
    void onMessage(const mosquitto_message &message) override;
    void onPublish(int mid) override;
    Turn onTurn() override;

    void subscribe(const std::string &filter);
    void synchronise();
    void finishSync();
    void followStatuses(bool ask);
    void onRecord(const std::string &node, const std::string &payload);
    void announce();
    void announceChanges();
    void watchRemotes();
    void subscribeWatched();
    [[nodiscard]] bool announcedAnywhere(const RemoteButton &pair) const;
    void learnt(const RemoteButton &pair);
    void deletedByHub(const Topics::Parsed &config);
    void openLearning();
    [[nodiscard]] bool learning(Clock::time_point now) const;
    [[nodiscard]] std::int64_t longPressUs() const { return std::int64_t{config_.longPressMs} * 1000; }
    void applyReload();
    void retireFor(const Config &next);
    void handleRequest(const Topics::Parsed &topic, const std::string &payload);
    void publish(const std::string &topic, const std::string &payload, bool retain = false);
    void publishPending();
    void follow(const Steps &steps);

    Config config_;
    Topics topics_;
    Queue &queue_;
    Connection connection_{*this};
    Thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex sleepMutex_;
    std::condition_variable wake_;
    const std::string instance_;  // this process, among gateways that may share its node
    bool connected_ = false;
    bool connectedBefore_ = false;
    std::map<int, std::string> subscribing_;
    std::set<std::string> refusedSaid_;
    int leavingMid_ = 0;
    Clock::time_point leavingSince_;

    std::mutex mutex_;  // guards what follows, shared with the receiving and transmitting threads
    bool online_ = false;
    std::deque<Heard> pending_;
    unsigned long droppedWhileAway_ = 0;
    std::unique_ptr<Config> reloaded_;
    std::string syncToken_;       // while the retained messages of this connection come in
    bool statusesAsked_ = false;  // the records are in; the other gateways' statuses are coming
    Retained retained_;
    Announced announced_;
    bool announcedKnown_ = false;  // announced_ holds what this gateway announces
    Clock::time_point announceAt_ = Clock::time_point::max();
    Agreement agreement_;
    std::function<bool(std::int64_t)> onTheAirLately_;
    std::map<std::string, std::string> nodeOfStatus_;  // the other gateways' status topics followed
    // What this connection last published on each remote config topic ("": cleared it itself):
    // an empty config that comes where it had published one is the hub's deletion.
    std::map<std::string, std::string> remoteConfigs_;
    std::set<std::string> hubDeleted_;  // not published again before the next full announcement
    std::string recordPublished_;
    std::set<unsigned int> watched_;  // remotes whose configs it follows
    std::vector<std::string> toWatch_;
    std::set<RemoteButton> deletionSaid_;
    Clock::time_point learnUntil_;
    bool learningShown_ = false;  // BASE/learning says ON
};

}  // namespace mqtt

#endif
