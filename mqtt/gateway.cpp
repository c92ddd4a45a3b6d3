// SPDX-License-Identifier: MIT
#include "gateway.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "clock.h"
#include "fail.h"

namespace mqtt {

namespace {

constexpr int kKeepAliveS = 30;
constexpr int kQos = 1;
constexpr int kLoopMs = 100;
constexpr int kGoodbyeMs = 2000;
constexpr std::size_t kAnnouncedAtMost = 4096;

Gateway *self(void *data) { return static_cast<Gateway *>(data); }

std::string reasonOf(int rc) { return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc); }

}  // namespace

Gateway::Gateway(const Config &config, Queue &queue) : config_(config), queue_(queue) { mosquitto_lib_init(); }

Gateway::~Gateway() {
    stop();
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
    }
    mosquitto_lib_cleanup();
}

std::string Gateway::start() {
    // A session the broker keeps, so that requests published while the gateway is away reach it.
    const std::string clientId = "teruna-mqtt-" + config_.node;
    client_ = mosquitto_new(clientId.c_str(), false, this);
    if (client_ == nullptr) {
        return std::string("cannot make an MQTT client: ") + std::strerror(errno);
    }
    mosquitto_threaded_set(client_, true);
    const std::string status = config_.topic + "/status";
    int rc = mosquitto_will_set(client_, status.c_str(), 7, "offline", kQos, true);
    if (rc == MOSQ_ERR_SUCCESS && !config_.username.empty()) {
        rc = mosquitto_username_pw_set(client_, config_.username.c_str(),
                                       config_.password.empty() ? nullptr : config_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.tls) {
        rc = mosquitto_tls_set(client_, config_.caFile.empty() ? nullptr : config_.caFile.c_str(),
                               config_.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        return "cannot set up the MQTT client: " + reasonOf(rc);
    }
    mosquitto_connect_callback_set(client_, [](mosquitto *, void *data, int result) {
        if (result == 0) {
            self(data)->connected();
        } else {
            self(data)->say("refused",
                            std::string("the broker refused the connection: ") + mosquitto_connack_string(result));
        }
    });
    mosquitto_disconnect_callback_set(client_, [](mosquitto *, void *data, int) {
        Gateway *gateway = self(data);
        const std::lock_guard<std::mutex> lock(gateway->heardMutex_);
        gateway->online_ = false;
    });
    mosquitto_message_callback_set(
        client_, [](mosquitto *, void *data, const mosquitto_message *message) { self(data)->take(*message); });
    mosquitto_publish_callback_set(client_, [](mosquitto *, void *data, int mid) {
        if (mid == self(data)->goodbyeMid_) {
            self(data)->goodbyeAcknowledged_ = true;
        }
    });
    thread_ = std::thread([this] { run(); });
    return "";
}

// Says what changed, once: a broker that stays away for a day is one line.
void Gateway::say(const std::string &state, const std::string &why) {
    if (state == lastSaid_) {
        return;
    }
    lastSaid_ = state;
    const std::string &broker = config_.broker;
    if (state == "online") {
        common::complain("connected to the broker %s", broker.c_str());
    } else {
        common::complain("%s: %s; trying again, at longest every %d s", broker.c_str(), why.c_str(), kLastRetryS);
    }
}

void Gateway::waitBeforeRetry() {
    std::unique_lock<std::mutex> lock(sleepMutex_);
    wake_.wait_for(lock, std::chrono::seconds(retryS_), [this] { return stopping_.load(); });
    retryS_ = std::min(2 * retryS_, kLastRetryS);
}

void Gateway::run() {
    bool tried = false;
    while (!stopping_) {
        const int rc = tried ? mosquitto_reconnect(client_)
                             : mosquitto_connect(client_, config_.host.c_str(), config_.port, kKeepAliveS);
        tried = true;
        if (rc != MOSQ_ERR_SUCCESS) {
            say("unreachable " + reasonOf(rc), "cannot reach it: " + reasonOf(rc));
            waitBeforeRetry();
            continue;
        }
        int loop = MOSQ_ERR_SUCCESS;
        while (!stopping_ && loop == MOSQ_ERR_SUCCESS) {
            loop = mosquitto_loop(client_, kLoopMs, 1);
        }
        if (stopping_) {
            if (loop == MOSQ_ERR_SUCCESS) {
                goodbye();
            }
            break;
        }
        if (lastSaid_ == "online") {
            say("lost", "lost the connection: " + reasonOf(loop));
        }
        waitBeforeRetry();
    }
}

void Gateway::connected() {
    retryS_ = kFirstRetryS;
    say("online", "");
    const std::string send = config_.topic + "/send";
    const std::string buttons = config_.topic + "/button/+/press";
    mosquitto_subscribe(client_, nullptr, send.c_str(), kQos);
    mosquitto_subscribe(client_, nullptr, buttons.c_str(), kQos);
    publish(config_.topic + "/status", "online", true);
    if (!config_.discoveryPrefix.empty()) {
        for (const Button &button : config_.buttons) {
            publish(config_.discoveryPrefix + "/button/" + config_.node + "/" + button.name + "/config",
                    buttonConfigJson(config_, button), true);
        }
    }
    const std::lock_guard<std::mutex> lock(heardMutex_);
    online_ = true;
    publishHeld();
}

void Gateway::take(const mosquitto_message &message) {
    Request request;
    request.arrivedNs = gpio::monotonicNs();
    const std::string topic = message.topic;
    const std::string payload(static_cast<const char *>(message.payload), static_cast<std::size_t>(message.payloadlen));
    const std::string buttonsAt = config_.topic + "/button/";
    const std::string press = "/press";
    std::string why;
    if (message.retain) {
        // A retained request would press again at every restart.
        why = "retained requests are not taken";
    } else if (topic == config_.topic + "/send") {
        why = parseSend(payload, request);
    } else if (topic.rfind(buttonsAt, 0) == 0 && topic.size() > buttonsAt.size() + press.size()) {
        const std::string name = topic.substr(buttonsAt.size(), topic.size() - buttonsAt.size() - press.size());
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
    } else {
        return;
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
            why = "cancelled at stop";
            break;
        }
    }
    refuse(why, payload, request.id);
}

void Gateway::publish(const std::string &topic, const std::string &payload, bool retain) {
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), kQos, retain);
}

void Gateway::sent(const Request &request, std::int64_t startUs, double waitedMs, double tookMs) {
    publish(config_.topic + "/sent", sentJson(request, startUs, waitedMs, tookMs));
}

void Gateway::refuse(const std::string &reason, const std::string &payload, const std::string &id) {
    publish(config_.topic + "/error", errorJson(reason, payload, id));
}

void Gateway::heard(const rx::Press &press, std::int64_t heardUs) {
    const std::lock_guard<std::mutex> lock(heardMutex_);
    if (held_.size() == kHeardWhileAway) {
        held_.pop_front();
        if (droppedWhileAway_++ == 0) {
            common::complain("more than %zu presses heard while the broker is away: the oldest are dropped",
                             kHeardWhileAway);
        }
    }
    held_.push_back({press, heardUs});
    if (online_) {
        publishHeld();
    }
}

// With heardMutex_ held.
void Gateway::publishHeld() {
    while (!held_.empty()) {
        const Heard &next = held_.front();
        const rx::Press &press = next.press;
        const std::string topic = remoteButtonTopic(config_, press.remoteId, press.buttonId);
        const std::string received = receivedJson(press, config_.node, next.heardUs);
        if (mosquitto_publish(client_, nullptr, (config_.topic + "/received").c_str(),
                              static_cast<int>(received.size()), received.data(), kQos, false) != MOSQ_ERR_SUCCESS) {
            return;
        }
        publish(topic, "press");
        if (!config_.discoveryPrefix.empty() && announced_.size() < kAnnouncedAtMost &&
            announced_.emplace(press.remoteId, press.buttonId).second) {
            publish(config_.discoveryPrefix + "/device_automation/" + config_.node + "/" +
                        std::to_string(press.remoteId) + "_" + std::to_string(press.buttonId) + "/config",
                    triggerConfigJson(config_, press.remoteId, press.buttonId), true);
        }
        held_.pop_front();
    }
    droppedWhileAway_ = 0;
}

void Gateway::goodbye() {
    const std::string status = config_.topic + "/status";
    mosquitto_publish(client_, &goodbyeMid_, status.c_str(), 7, "offline", kQos, true);
    for (int waited = 0; waited < kGoodbyeMs && !goodbyeAcknowledged_; waited += kLoopMs / 10) {
        if (mosquitto_loop(client_, kLoopMs / 10, 1) != MOSQ_ERR_SUCCESS) {
            return;
        }
    }
    mosquitto_disconnect(client_);
    for (int waited = 0; waited < kGoodbyeMs; waited += kLoopMs / 10) {
        if (mosquitto_loop(client_, kLoopMs / 10, 1) != MOSQ_ERR_SUCCESS) {
            return;
        }
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
