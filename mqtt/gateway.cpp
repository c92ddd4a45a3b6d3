// SPDX-License-Identifier: MIT
#include "gateway.h"

#include <mosquitto.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "clocks.h"
#include "fail.h"
#include "retire.h"

namespace mqtt {

namespace {

constexpr std::size_t kHeardAtMost = 4096;
constexpr auto kBirthSpread = std::chrono::milliseconds(2000);
constexpr auto kLeaveAfter = std::chrono::seconds(2);

std::int64_t ageUs(std::int64_t sinceEpochUs) { return common::realtimeUs() - sinceEpochUs; }

std::int64_t monotonicUs() { return common::monotonicNs() / 1000; }

std::string newInstance() {
    std::random_device random;
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", random(), random());
    return text;
}

}  // namespace

Gateway::Gateway(const Config &config, Queue &queue)
    : config_(config), topics_(config), queue_(queue), instance_(newInstance()), agreement_(config.node) {}

Gateway::~Gateway() { stop(); }

std::string Gateway::start() {
    const std::string why = setUpClient();
    return why.empty() ? thread_.start([this] { run(); }) : why;
}

std::string Gateway::setUpClient() { return connection_.setUp(brokerSettings(config_, topics_)); }

void Gateway::onPublish(int mid) {
    if (mid == leavingMid_) {
        leavingMid_ = 0;
    }
}

void Gateway::waitBeforeRetry() {
    std::unique_lock<std::mutex> lock(sleepMutex_);
    wake_.wait_for(lock, connection_.retryWait(), [this] {
        const std::lock_guard<std::mutex> guard(mutex_);
        return stopping_.load() || reloaded_ != nullptr;
    });
}

void Gateway::run() {
    while (!stopping_) {
        applyReload();
        connection_.serve(stopping_);
        if (!stopping_) {
            waitBeforeRetry();
        }
    }
}

// Between two passes of the connection's loop.
ConnectionEvents::Turn Gateway::onTurn() {
    const Clock::time_point now = Clock::now();
    // Another gateway holds this node: it learns so from the record, once the broker has it.
    if (leavingSince_ != Clock::time_point() && (leavingMid_ == 0 || now - leavingSince_ > kLeaveAfter)) {
        leavingSince_ = Clock::time_point();
        return Turn::yield;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (reloaded_ != nullptr && brokerSettings(*reloaded_, Topics(*reloaded_)) != connection_.settings()) {
            return Turn::leave;
        }
    }
    applyReload();
    bool announceNow = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        announceNow = now >= announceAt_;
        if (announceNow) {
            announceAt_ = Clock::time_point::max();
        }
    }
    if (announceNow) {
        announce();
    }
    subscribeWatched();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (learningShown_ && !learning(now)) {
        learningShown_ = false;
        publish(topics_.learning, "OFF", true);
        common::complain("the learning window closed");
    }
    if (online_) {
        follow(agreement_.tick(monotonicUs()));
    }
    return Turn::stay;
}

void Gateway::onOnline() {
    connected_ = true;
    subscribe(topics_.send);
    subscribe(topics_.buttonPress);
    publish(topics_.status, "online", true);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        agreement_ = Agreement(config_.node);
        nodeOfStatus_.clear();
        remoteConfigs_.clear();
        hubDeleted_.clear();
        recordPublished_.clear();
        watched_.clear();
        toWatch_.clear();
    }
    synchronise();
}

void Gateway::onOffline() {
    connected_ = false;
    const std::lock_guard<std::mutex> lock(mutex_);
    online_ = false;
    agreement_.connected(false, monotonicUs());
}

void Gateway::subscribe(const std::string &filter) {
    int mid = 0;
    if (connection_.subscribe(filter, &mid) == MOSQ_ERR_SUCCESS) {
        subscribing_[mid] = filter;
    }
}

void Gateway::onSubscribe(int mid, int count, const int *granted) {
    const auto filter = subscribing_.find(mid);
    if (filter == subscribing_.end()) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        if (granted[i] >= 0x80 && refusedSaid_.insert(filter->second).second) {
            common::complain("the broker refused the subscription to %s: %s; going on without it",
                             filter->second.c_str(), mosquitto_reason_string(granted[i]));
        }
    }
    subscribing_.erase(filter);
}

// Reads back the retained messages that tell what is announced: this node's discovery
// configs and every gateway's record, then the other gateways' statuses. They come before a
// message published after subscribing.
void Gateway::synchronise() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        syncToken_ = std::to_string(common::monotonicNs());
        statusesAsked_ = false;
        retained_ = Retained();
    }
    subscribe(topics_.sync);
    subscribe(topics_.gateways);
    subscribe(topics_.reports);
    subscribe(topics_.sharedEvents);
    if (!config_.discoveryPrefix.empty()) {
        subscribe(topics_.hubStatus);
        subscribe(topics_.nodeConfigs);
        subscribe(topics_.learn);
        const std::lock_guard<std::mutex> lock(mutex_);
        learningShown_ = learning(Clock::now());
        publish(topics_.learning, learningShown_ ? "ON" : "OFF", true);
    }
    publish(topics_.sync, syncToken_);
}

// Clears what this gateway announced and no longer owns, then announces what it does.
void Gateway::finishSync() {
    std::vector<std::string> clear;
    bool contested = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        Announced previous;
        const auto own = retained_.records.find(config_.node);
        if (own != retained_.records.end()) {
            previous = own->second;
        }
        if (connectedBefore_ && !previous.instance.empty() && previous.instance != instance_) {
            // Another process took this node's session since this one last had it: it keeps
            // it, learns why it was lost, and this one comes back in a minute.
            Announced marked = previous;
            marked.contestedBy = instance_;
            const std::string payload = announcedJson(marked);
            connection_.publish(topics_.gateway, payload, true, &leavingMid_);
            leavingSince_ = Clock::now();
            syncToken_.clear();
            connection_.takenOver();
            return;
        }
        contested = previous.instance == instance_ && !previous.contestedBy.empty();
        connectedBefore_ = true;
        announced_ = nextRecord(config_, previous, announced_.heard);
        announced_.instance = instance_;
        announcedKnown_ = true;
        clear = staleConfigs(config_, topics_, announced_, retained_);
    }
    if (contested) {
        connection_.sayClash();
    }
    for (const std::string &topic : clear) {
        publish(topic, "", true);
    }
    announce();
}

bool Gateway::learning(Clock::time_point now) const { return config_.discoverHeard || now < learnUntil_; }

// With mutex_ held.
void Gateway::openLearning() {
    learnUntil_ = Clock::now() + std::chrono::minutes(config_.learnMinutes);
    learningShown_ = true;
    publish(topics_.learning, "ON", true);
    common::complain("learning remotes for %d minutes", config_.learnMinutes);
}

// With mutex_ held.
bool Gateway::announcedAnywhere(const RemoteButton &pair) const {
    return announced_.has(pair) || std::any_of(retained_.records.begin(), retained_.records.end(),
                                               [&](const auto &record) { return record.second.has(pair); });
}

// With mutex_ held.
void Gateway::learnt(const RemoteButton &pair) {
    announced_.heard.insert(pair);
    deletionSaid_.erase(pair);
    common::complain("learnt remote %u button %u", pair.first, pair.second);
    if (announcedKnown_) {
        announceChanges();
    }
}

// With mutex_ held. An empty config where this connection had published one: the user deleted
// the remote, or one of its triggers, in the hub.
void Gateway::deletedByHub(const Topics::Parsed &config) {
    std::set<RemoteButton> pairs;
    for (const auto *set : {&announced_.declared, &announced_.heard}) {
        for (const RemoteButton &pair : *set) {
            if (pair.first == config.remote &&
                (config.kind == Topics::Parsed::Kind::eventConfig || pair.second == config.button)) {
                pairs.insert(pair);
            }
        }
    }
    bool changed = false;
    for (const RemoteButton &pair : pairs) {
        if (announced_.heard.erase(pair) != 0) {
            changed = true;
            common::complain("the hub deleted remote %u button %u: it is no longer announced; learn it again to bring "
                             "it back",
                             pair.first, pair.second);
        } else if (deletionSaid_.insert(pair).second) {
            common::complain("the hub deleted remote %u button %u, which the configuration declares: it comes back at "
                             "the hub's next start unless its remote line goes",
                             pair.first, pair.second);
        }
    }
    if (changed) {
        announceChanges();
    }
}

// With mutex_ held. Publishes the remote configs and the record that differ from what this
// connection published, and clears those it no longer announces that no other record claims.
void Gateway::announceChanges() {
    std::set<std::string> claimed;
    for (const auto &[topic, payload] : announcement(config_, topics_, announced_, retained_.records)) {
        const Topics::Parsed::Kind kind = topics_.parse(topic).kind;
        claimed.insert(topic);
        if (topic == topics_.gateway) {
            if (payload != recordPublished_) {
                recordPublished_ = payload;
                publish(topic, payload, true);
            }
        } else if ((kind == Topics::Parsed::Kind::triggerConfig || kind == Topics::Parsed::Kind::eventConfig) &&
                   hubDeleted_.count(topic) == 0 && remoteConfigs_[topic] != payload) {
            remoteConfigs_[topic] = payload;
            publish(topic, payload, true);
        }
    }
    for (const auto &[node, record] : retained_.records) {
        if (node != config_.node) {
            const std::set<std::string> theirs = record.configTopics(topics_);
            claimed.insert(theirs.begin(), theirs.end());
        }
    }
    for (auto &[topic, payload] : remoteConfigs_) {
        if (!payload.empty() && claimed.count(topic) == 0) {
            payload.clear();
            publish(topic, "", true);
        }
    }
    watchRemotes();
}

// With mutex_ held, on any thread: the configs of the remotes it announces are followed, to
// hear the hub delete them. The gateway's thread subscribes (subscribeWatched).
void Gateway::watchRemotes() {
    for (const auto *set : {&announced_.declared, &announced_.heard}) {
        for (const RemoteButton &pair : *set) {
            if (watched_.insert(pair.first).second) {
                toWatch_.push_back(topics_.triggerConfigs(pair.first));
                toWatch_.push_back(topics_.eventConfig(pair.first));
            }
        }
    }
}

void Gateway::subscribeWatched() {
    std::vector<std::string> filters;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        filters.swap(toWatch_);
    }
    for (const std::string &filter : filters) {
        subscribe(filter);
    }
}

// Follows the status of each gateway that has a record: its last will tells when it goes.
// `ask`: then says when their retained statuses are in.
void Gateway::followStatuses(bool ask) {
    std::vector<std::string> statuses;
    std::string token;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &[node, record] : retained_.records) {
            if (node != config_.node && !record.status.empty() && record.status != topics_.status &&
                nodeOfStatus_.emplace(record.status, node).second) {
                statuses.push_back(record.status);
            }
        }
        ask = ask && !syncToken_.empty();
        statusesAsked_ = statusesAsked_ || ask;
        token = syncToken_;
    }
    for (const std::string &topic : statuses) {
        subscribe(topic);
    }
    if (ask) {
        publish(topics_.sync, token);
    }
}

void Gateway::onRecord(const std::string &node, const std::string &payload) {
    Announced record;
    if (payload.empty() || !parseAnnounced(payload, record)) {
        retained_.records.erase(node);
        follow(agreement_.gateway(node, false, monotonicUs()));
        return;
    }
    retained_.records[node] = record;
}

void Gateway::announce() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!announcedKnown_) {
            return;
        }
        hubDeleted_.clear();
        for (const auto &[topic, payload] : announcement(config_, topics_, announced_, retained_.records)) {
            const Topics::Parsed::Kind kind = topics_.parse(topic).kind;
            if (kind == Topics::Parsed::Kind::triggerConfig || kind == Topics::Parsed::Kind::eventConfig) {
                remoteConfigs_[topic] = payload;
            } else if (topic == topics_.gateway) {
                recordPublished_ = payload;
            }
            publish(topic, payload, true);
        }
        watchRemotes();
    }
    subscribeWatched();
}

void Gateway::onMessage(const mosquitto_message &message) {
    using Kind = Topics::Parsed::Kind;
    const std::string topic = message.topic;
    const std::string payload(static_cast<const char *>(message.payload), static_cast<std::size_t>(message.payloadlen));
    const Topics::Parsed parsed = topics_.parse(topic);
    bool recordsIn = false;
    bool followNew = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto status = nodeOfStatus_.find(topic);
        if (status != nodeOfStatus_.end()) {
            follow(agreement_.gateway(status->second, payload == "online", monotonicUs()));
            return;
        }
        switch (parsed.kind) {
        case Kind::sync:
            if (syncToken_.empty() || payload != syncToken_) {
                return;
            }
            if (!statusesAsked_) {
                recordsIn = true;
                break;
            }
            // Every gateway's record and status is in: this one knows who publishes.
            syncToken_.clear();
            online_ = true;
            follow(agreement_.connected(true, monotonicUs()));
            publishPending();
            return;
        case Kind::record:
            onRecord(parsed.name, payload);
            // One that comes while the records are being read is followed with the rest.
            followNew = syncToken_.empty() || statusesAsked_;
            if (followNew && announcedKnown_ && parsed.name != config_.node) {
                announceChanges();  // the remotes' configs are the same from every gateway
            }
            break;
        case Kind::report: {
            HeardPress press;
            std::int64_t agoUs = 0;
            if (parsed.name != config_.node && parseReport(payload, press, agoUs)) {
                press.node = parsed.name;
                const std::int64_t nowUs = monotonicUs();
                follow(agreement_.heard(press, nowUs - agoUs, nowUs));
            }
            return;
        }
        case Kind::sharedEvent: {
            HeardPress press;
            if (parseEvent(payload, press) && press.remote == parsed.remote) {
                agreement_.published(press, monotonicUs());
            }
            return;
        }
        case Kind::hubStatus:
            // While the records are read, the announcement that ends the reading answers it.
            if (payload == "online" && (syncToken_.empty() || statusesAsked_)) {
                // Spread, so that the many gateways of a house do not all answer the hub at once.
                static std::mt19937 random{std::random_device{}()};
                announceAt_ = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(
                                                 0, static_cast<int>(kBirthSpread.count()))(random));
            }
            return;
        case Kind::nodeConfig:
            if (!syncToken_.empty() && !payload.empty()) {
                retained_.nodeConfigs.insert(topic);
            }
            return;
        case Kind::triggerConfig:
        case Kind::eventConfig: {
            const auto published = remoteConfigs_.find(topic);
            if (payload.empty() && published != remoteConfigs_.end() && !published->second.empty()) {
                published->second.clear();
                hubDeleted_.insert(topic);
                deletedByHub(parsed);
            }
            return;
        }
        case Kind::learn:
            if (!message.retain) {
                openLearning();
                return;
            }
            break;
        case Kind::send:
        case Kind::buttonPress:
        case Kind::other:
            break;
        }
    }
    if (recordsIn) {
        finishSync();
        followStatuses(true);
        return;
    }
    if (followNew) {
        followStatuses(false);
        return;
    }
    if (parsed.kind != Kind::send && parsed.kind != Kind::buttonPress && parsed.kind != Kind::learn) {
        return;
    }
    if (message.retain) {
        // A retained request would press again at every restart.
        refuse("retained requests are not taken", payload, idOf(payload));
        return;
    }
    handleRequest(parsed, payload);
}

void Gateway::handleRequest(const Topics::Parsed &topic, const std::string &payload) {
    Request request;
    request.arrivedNs = common::monotonicNs();
    std::string why;
    const std::string &name = topic.name;
    if (topic.kind == Topics::Parsed::Kind::send) {
        why = parseSend(payload, request);
    } else {
        const auto button = std::find_if(config_.buttons.begin(), config_.buttons.end(),
                                         [&](const Button &known) { return known.name == name; });
        if (payload.size() > kMaxPayload) {
            why = "request over " + std::to_string(kMaxPayload) + " bytes";
        } else if (button == config_.buttons.end()) {
            why = "unknown button '" + name + "'";
        } else {
            request.remote = button->remote;
            request.button = button->button;
            request.payload = payload;
        }
    }
    if (why.empty()) {
        switch (queue_.push(request)) {
        case Queue::Taken::queued:
            return;
        case Queue::Taken::full:
            why = "queue full";
            break;
        case Queue::Taken::repeated:
            why = "id already taken within ten minutes";
            break;
        case Queue::Taken::stopped:
            why = kCancelledAtStop;
            break;
        }
    }
    refuse(why, payload, request.id);
}

void Gateway::publish(const std::string &topic, const std::string &payload, bool retain) {
    connection_.publish(topic, payload, retain);
}

void Gateway::sent(const Request &request, std::int64_t startUs, double waitedMs, double tookMs) {
    const std::lock_guard<std::mutex> lock(mutex_);
    publish(topics_.sent, sentJson(request, startUs, waitedMs, tookMs));
}

void Gateway::refuse(const std::string &why, const std::string &payload, const std::string &id) {
    const std::lock_guard<std::mutex> lock(mutex_);
    publish(topics_.error, errorJson(why, payload, id));
}

void Gateway::heard(const rx::Press &press, std::int64_t beganUs, std::int64_t endedUs) {
    // A press of our own, heard back, must not reach a hub that may answer it with another.
    if (onTheAirLately_ && onTheAirLately_(common::monotonicNs())) {
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.size() == kHeardWhileAway) {
        pending_.pop_front();
        if (droppedWhileAway_++ == 0) {
            common::complain("more than %zu presses heard while the broker is away: the oldest are dropped",
                             kHeardWhileAway);
        }
    }
    pending_.push_back({press, beganUs, endedUs});
    if (online_) {
        publishPending();
    }
}

// With mutex_ held.
void Gateway::publishPending() {
    while (!pending_.empty()) {
        const Heard &next = pending_.front();
        const rx::Press &press = next.press;
        const std::string received = receivedJson(press, config_.node, next.beganUs);
        if (connection_.publish(topics_.received, received, false) != MOSQ_ERR_SUCCESS) {
            return;
        }
        const HeardPress thisPress{press.remoteId, press.buttonId, next.beganUs, next.endedUs, config_.node};
        const RemoteButton pair(press.remoteId, press.buttonId);
        // With a hub, a remote button goes to the shared topics once it is announced, learnt
        // now if the window is open: its configs come before its first event.
        bool shared = true;
        if (!config_.discoveryPrefix.empty() && !announcedAnywhere(pair)) {
            shared = learning(Clock::now()) && announced_.heard.size() < kHeardAtMost;
            if (shared) {
                learnt(pair);
            }
        }
        const std::int64_t agoUs = ageUs(next.endedUs);
        if (agoUs <= kFreshPressUs) {
            publish(topics_.nodeButton(press.remoteId, press.buttonId), pressPayload(thisPress, longPressUs()));
            const std::int64_t nowUs = monotonicUs();
            if (shared) {
                follow(agreement_.heard(thisPress, nowUs - agoUs, nowUs));
            }
        }
        pending_.pop_front();
    }
    droppedWhileAway_ = 0;
}

// With mutex_ held.
void Gateway::follow(const Steps &steps) {
    for (const HeardPress &press : steps.publish) {
        publish(topics_.sharedEvent(press.remote), eventJson(press, longPressUs()));
        publish(topics_.sharedButton(press.remote, press.button), pressPayload(press, longPressUs()));
    }
    for (const HeardPress &press : steps.report) {
        publish(topics_.report, reportJson(press, ageUs(press.endedUs)));
    }
}

void Gateway::reload(const Config &config) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        reloaded_ = std::make_unique<Config>(config);
    }
    wake_.notify_all();
}

// On the gateway's thread, between connections or while connected to the same broker.
void Gateway::applyReload() {
    std::unique_ptr<Config> next;
    bool rebuild = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (reloaded_ == nullptr) {
            return;
        }
        next = std::move(reloaded_);
    }
    if (next->node != config_.node || next->topic != config_.topic || next->sharedTopic != config_.sharedTopic ||
        next->discoveryPrefix != config_.discoveryPrefix) {
        retireFor(*next);
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        rebuild = brokerSettings(*next, Topics(*next)) != connection_.settings();
        config_ = *next;
        topics_ = Topics(config_);
        announcedKnown_ = false;
    }
    if (rebuild) {
        connectedBefore_ = false;
        const std::string why = setUpClient();
        if (!why.empty()) {
            common::complain("%s", why.c_str());
        }
        return;
    }
    // Connected, its records perhaps still coming in: read back anew for the new names.
    if (connected_) {
        synchronise();
    }
}

// Clears what the node kept under the names it had, but for what `next` announces.
void Gateway::retireFor(const Config &next) {
    const Topics nextTopics(next);
    std::set<std::string> keep = {nextTopics.status};
    if (!next.discoveryPrefix.empty()) {
        keep.insert(nextTopics.learning);
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &message : announcement(next, nextTopics, nextRecord(next, announced_, {}))) {
            keep.insert(message.first);
        }
    }
    const Retirement done = retire(config_, keep, true);
    if (!done.why.empty()) {
        common::complain("cannot clear what node %s left on %s: %s; clear it with teruna-mqtt --retire and the former "
                         "configuration",
                         config_.node.c_str(), config_.broker.c_str(), done.why.c_str());
    } else if (!done.cleared.empty()) {
        common::complain("cleared the %zu retained messages node %s left under its former names", done.cleared.size(),
                         config_.node.c_str());
    }
}

void Gateway::stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(sleepMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

}  // namespace mqtt
