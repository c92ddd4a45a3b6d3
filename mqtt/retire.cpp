// SPDX-License-Identifier: MIT
#include "retire.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>

#include "clocks.h"
#include "connection.h"
#include "discovery.h"
#include "topics.h"

namespace mqtt {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRetireWithin = std::chrono::seconds(10);
constexpr int kLoopMs = 50;

class Retiring : private ConnectionEvents {
public:
    explicit Retiring(const Config &config) : config_(config), topics_(config) {}

    Retirement run(const std::set<std::string> &keep, bool evenOnline) {
        Retirement result;
        result.why = connect();
        if (result.why.empty()) {
            result.why = readBack();
        }
        if (result.why.empty() && !evenOnline && retained_.status == "online") {
            result.why = "node " + config_.node + " is online: stop its gateway first";
        }
        if (result.why.empty()) {
            result.cleared = retiredTopics(config_, retained_, keep);
            result.why = clear(result.cleared);
        }
        connection_.disconnect();
        connection_.loop(kLoopMs);
        if (!result.why.empty()) {
            result.cleared.clear();
        }
        return result;
    }

private:
    std::string connect() {
        BrokerSettings settings = brokerSettings(config_, topics_);
        settings.clientId += "-retiring";  // beside a gateway of the node, not in its place
        settings.willTopic.clear();
        std::string why = connection_.setUp(settings, true);
        if (!why.empty()) {
            return why;
        }
        const int rc = connection_.connect();
        if (rc != MOSQ_ERR_SUCCESS) {
            return "cannot reach it: " + (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : libraryWhy(rc));
        }
        if (!loopUntil([this] { return connection_.answer() >= 0; })) {
            return "no answer from the broker";
        }
        if (connection_.answer() != 0) {
            return std::string("the broker refused the connection: ") + mosquitto_reason_string(connection_.answer());
        }
        return "";
    }

    // What the broker keeps of the node, ahead of a message of its own.
    std::string readBack() {
        token_ = std::to_string(common::monotonicNs());
        for (const std::string &filter :
             {topics_.sync, topics_.gateways, topics_.status, topics_.learning, topics_.nodeConfigs}) {
            if (!filter.empty()) {
                connection_.subscribe(filter, nullptr);
            }
        }
        connection_.publish(topics_.sync, token_, false);
        return loopUntil([this] { return synced_; }) ? "" : "the broker did not send back what it keeps";
    }

    std::string clear(const std::vector<std::string> &topics) {
        for (const std::string &topic : topics) {
            int mid = 0;
            if (connection_.publish(topic, "", true, &mid) != MOSQ_ERR_SUCCESS) {
                return "cannot clear " + topic;
            }
            clearing_.insert(mid);
        }
        return loopUntil([this] { return clearing_.empty(); }) ? "" : "the broker did not confirm every clearing";
    }

    bool loopUntil(const std::function<bool()> &done) {
        const Clock::time_point deadline = Clock::now() + kRetireWithin;
        while (!done()) {
            if (Clock::now() > deadline || lost_ || connection_.loop(kLoopMs) != MOSQ_ERR_SUCCESS) {
                return done();
            }
        }
        return true;
    }

    void onOnline() override {}
    void onOffline() override { lost_ = true; }
    Turn onTurn() override { return Turn::stay; }
    void onSubscribe(int, int, const int *) override {}
    void onPublish(int mid) override { clearing_.erase(mid); }
    void onMessage(const mosquitto_message &message) override {
        const std::string topic = message.topic;
        const std::string payload(static_cast<const char *>(message.payload),
                                  static_cast<std::size_t>(message.payloadlen));
        const Topics::Parsed parsed = topics_.parse(topic);
        Announced record;
        if (topic == topics_.status) {
            retained_.status = payload;
        } else if (topic == topics_.learning) {
            retained_.learning = !payload.empty();
        } else if (parsed.kind == Topics::Parsed::Kind::sync) {
            synced_ = synced_ || payload == token_;
        } else if (parsed.kind == Topics::Parsed::Kind::record && parseAnnounced(payload, record)) {
            retained_.records[parsed.name] = record;
        } else if (parsed.kind == Topics::Parsed::Kind::nodeConfig && !payload.empty()) {
            retained_.nodeConfigs.insert(topic);
        }
    }

    const Config &config_;
    const Topics topics_;
    Connection connection_{*this};
    bool lost_ = false;
    std::string token_;
    bool synced_ = false;
    Retained retained_;
    std::set<int> clearing_;
};

}  // namespace

Retirement retire(const Config &config, const std::set<std::string> &keep, bool evenOnline) {
    return Retiring(config).run(keep, evenOnline);
}

}  // namespace mqtt
