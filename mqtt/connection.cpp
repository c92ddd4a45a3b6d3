// SPDX-License-Identifier: MIT
#include "connection.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "fail.h"
#include "local-name.h"
#include "tls-probe.h"

namespace mqtt {

namespace {

constexpr int kQos = 1;
constexpr int kLoopMs = 100;
constexpr int kGoodbyeMs = 2000;
constexpr const char *kNotMqtt = "the listener does not speak MQTT: its answer is malformed";

Connection &self(void *data) { return *static_cast<Connection *>(data); }

std::string noAnswer(int keepAliveS) {
    return "no answer within the keepalive of " + std::to_string(keepAliveS) + " s: is it an MQTT listener?";
}

}  // namespace

std::string libraryWhy(int rc) {
    std::string why = mosquitto_strerror(rc);
    while (!why.empty() && why.back() == '.') {
        why.pop_back();
    }
    return why;
}

bool BrokerSettings::operator==(const BrokerSettings &other) const {
    const auto fields = [](const BrokerSettings &s) {
        return std::tie(s.url, s.host, s.port, s.tls, s.username, s.password, s.caFile, s.keepAliveS, s.node,
                        s.clientId, s.willTopic);
    };
    return fields(*this) == fields(other);
}

BrokerSettings brokerSettings(const Config &config, const Topics &topics) {
    BrokerSettings settings;
    settings.url = config.broker;
    settings.host = config.host;
    settings.port = config.port;
    settings.tls = config.tls;
    settings.username = config.username;
    settings.password = config.password;
    settings.caFile = config.caFile;
    settings.keepAliveS = config.keepAliveS;
    settings.node = config.node;
    settings.clientId = "teruna-mqtt-" + config.node;
    settings.willTopic = topics.status;
    return settings;
}

Connection::Connection(ConnectionEvents &events) : events_(events) { mosquitto_lib_init(); }

Connection::~Connection() {
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
    }
    mosquitto_lib_cleanup();
}

// A clean session each time, so that a request published while the gateway was away is never
// sent late.
std::string Connection::setUp(const BrokerSettings &settings, bool quiet) {
    mosquitto *client = mosquitto_new(settings.clientId.c_str(), true, this);
    if (client == nullptr) {
        return std::string("cannot make an MQTT client: ") + std::strerror(errno);
    }
    mosquitto_threaded_set(client, true);
    int rc = mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // A press published right after an acknowledgement would otherwise wait for the broker's
    // delayed ACK, some 40 ms: a reported press goes out at once.
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && !settings.willTopic.empty()) {
        rc = mosquitto_will_set(client, settings.willTopic.c_str(), 7, "offline", kQos, true);
    }
    if (rc == MOSQ_ERR_SUCCESS && !settings.username.empty()) {
        rc = mosquitto_username_pw_set(client, settings.username.c_str(),
                                       settings.password.empty() ? nullptr : settings.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && settings.tls) {
        rc = mosquitto_tls_set(client, settings.caFile.empty() ? nullptr : settings.caFile.c_str(),
                               settings.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client);
        return "cannot set up the MQTT client: " + libraryWhy(rc);
    }
    mosquitto_log_callback_set(client, [](mosquitto *, void *data, int level, const char *text) {
        if (level == MOSQ_LOG_ERR) {
            self(data).libraryError_ = text;
        }
    });
    mosquitto_connect_v5_callback_set(client, [](mosquitto *, void *data, int reasonCode, int,
                                                 const mosquitto_property *) { self(data).onConnect(reasonCode); });
    mosquitto_disconnect_v5_callback_set(client,
                                         [](mosquitto *, void *data, int reasonCode, const mosquitto_property *) {
                                             self(data).onDisconnect(reasonCode);
                                         });
    mosquitto_subscribe_v5_callback_set(
        client, [](mosquitto *, void *data, int mid, int count, const int *granted, const mosquitto_property *) {
            self(data).events_.onSubscribe(mid, count, granted);
        });
    mosquitto_message_callback_set(client, [](mosquitto *, void *data, const mosquitto_message *message) {
        self(data).events_.onMessage(*message);
    });
    mosquitto_publish_callback_set(client, [](mosquitto *, void *data, int mid) { self(data).onPublish(mid); });
    mosquitto *previous = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        previous = client_;
        client_ = client;
        settings_ = settings;
    }
    if (previous != nullptr) {
        mosquitto_destroy(previous);
    }
    retryS_ = kFirstRetryS;
    said_ = State::starting;
    quiet_ = quiet;
    return "";
}

// The broker's name, or for a .local name, which a static build's C library cannot look up,
// its address from getent: host_ is left empty when neither finds it.
int Connection::connect() {
    host_ = settings_.host;
    int rc = connectTo(host_);
    if (rc == MOSQ_ERR_EAI && isLocalName(settings_.host)) {
        host_ = systemAddressOf(settings_.host);
        rc = host_.empty() ? MOSQ_ERR_EAI : connectTo(host_);
    }
    return rc;
}

// Only the gateway's thread makes the client anew, so its own calls need no lock.
int Connection::connectTo(const std::string &host) {
    answer_ = -1;
    mosquitto_property *properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, static_cast<std::uint32_t>(kMaxPacket));
    const int rc =
        mosquitto_connect_bind_v5(client_, host.c_str(), settings_.port, settings_.keepAliveS, nullptr, properties);
    mosquitto_property_free_all(&properties);
    return rc;
}

int Connection::loop(int timeoutMs) { return mosquitto_loop(client_, timeoutMs, 1); }

int Connection::disconnect() { return mosquitto_disconnect(client_); }

int Connection::publish(const std::string &topic, const std::string &payload, bool retain, int *mid) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return mosquitto_publish(client_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), kQos,
                             retain);
}

int Connection::subscribe(const std::string &filter, int *mid) {
    return mosquitto_subscribe(client_, mid, filter.c_str(), kQos);
}

void Connection::serve(const std::atomic<bool> &stopping) {
    libraryError_.clear();
    answered_ = false;
    int rc = connect();
    if (rc == MOSQ_ERR_EAI && host_.empty()) {
        say(State::unreachable, needsMdns(settings_.host, settings_.tls, settings_.port));
        return;
    }
    if (rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_EAI || rc == MOSQ_ERR_LOOKUP) {
        say(State::unreachable, "cannot reach it: " + whyOf(rc));
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        say(State::lost, whyOf(rc));
        return;
    }
    const auto connectingSince = std::chrono::steady_clock::now();
    while (!stopping && rc == MOSQ_ERR_SUCCESS) {
        rc = loop(kLoopMs);
        if (!answered_ &&
            std::chrono::steady_clock::now() - connectingSince > std::chrono::seconds(settings_.keepAliveS)) {
            say(State::lost, noAnswer(settings_.keepAliveS));
            disconnect();
            return;
        }
        const ConnectionEvents::Turn turn = events_.onTurn();
        if (turn == ConnectionEvents::Turn::yield) {
            disconnect();
            return;
        }
        if (turn == ConnectionEvents::Turn::leave) {
            goodbye();
            return;
        }
    }
    if (stopping) {
        if (rc == MOSQ_ERR_SUCCESS) {
            goodbye();
        }
        return;
    }
    if (said_ == State::takenOver) {
        return;
    }
    if (said_ == State::online) {
        say(State::lost, "lost the connection: " + whyOf(rc));
    } else if (said_ != State::refused) {
        say(State::lost, whyOf(rc));
    }
}

std::chrono::milliseconds Connection::retryWait() {
    if (said_ == State::takenOver) {
        return std::chrono::seconds(kTakeOverRetryS);
    }
    if (away_) {
        return std::chrono::milliseconds(kAwayRetryMs);
    }
    const int waitS = retryS_;
    retryS_ = std::min(2 * retryS_, kLastRetryS);
    return std::chrono::seconds(waitS);
}

void Connection::onConnect(int reasonCode) {
    answered_ = true;
    answer_ = reasonCode;
    if (reasonCode != 0) {
        say(State::refused, std::string("the broker refused the connection: ") + mosquitto_reason_string(reasonCode));
        return;
    }
    retryS_ = kFirstRetryS;
    say(State::online);
    events_.onOnline();
}

void Connection::onDisconnect(int reasonCode) {
    if (reasonCode == MQTT_RC_SESSION_TAKEN_OVER) {
        say(State::takenOver);
    }
    events_.onOffline();
}

void Connection::onPublish(int mid) {
    if (mid == goodbyeMid_) {
        goodbyeAcknowledged_ = true;
    }
    events_.onPublish(mid);
}

void Connection::takenOver() {
    said_ = State::starting;
    say(State::takenOver);
}

// Says what changed, once: a broker that stays away for a day is one line.
void Connection::say(State state, const std::string &why) {
    // Away: nothing answers where the broker was, or the connection it had answered dropped.
    // Whatever else keeps it from taking the gateway wants its administrator, and is tried less.
    away_ = state == State::unreachable ||
            (state == State::lost && (said_ == State::online || (said_ == State::lost && away_)));
    if (state == said_ && why == saidWhy_) {
        return;
    }
    said_ = state;
    saidWhy_ = why;
    const char *broker = settings_.url.c_str();
    if (quiet_) {
        return;
    }
    if (state == State::takenOver) {
        sayClash();
    } else if (state == State::online) {
        common::complain("connected to the broker %s", broker);
    } else if (away_) {
        common::complain("%s: %s; trying again every half second", broker, why.c_str());
    } else if (why != "") {
        common::complain("%s: %s; trying again, at longest every %d s", broker, why.c_str(), kLastRetryS);
    }
}

void Connection::sayClash() {
    if (!clashSaid_) {
        common::complain("another gateway is using node %s on %s: give each gateway a node of its own; taking the "
                         "session back at most once a minute",
                         settings_.node.c_str(), settings_.url.c_str());
    }
    clashSaid_ = true;
}

std::string Connection::whyOf(int rc) {
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        // A connection the broker closed reads as either, whichever call notices first.
        if (answered_ && (errno == EPIPE || errno == ECONNRESET)) {
            return libraryWhy(MOSQ_ERR_CONN_LOST);
        }
        if (errno == 0) {
            // Before any answer: bytes that are not MQTT came, then the listener closed.
            return answered_ ? "the connection failed" : kNotMqtt;
        }
        return std::strerror(errno);
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        return "TLS failed: " + tlsFailure(host_, settings_.port, settings_.caFile, libraryError_);
    case MOSQ_ERR_KEEPALIVE:
        if (!answered_) {
            return noAnswer(settings_.keepAliveS);
        }
        return "the broker stopped answering within the keepalive of " + std::to_string(settings_.keepAliveS) + " s";
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_MALFORMED_UTF8:
        return kNotMqtt;
    case MOSQ_ERR_CONN_LOST:
        if (!answered_) {
            return settings_.tls ? "the broker closed the connection before answering"
                                 : "the broker closed the connection before answering: if its listener is TLS, write "
                                   "the broker as mqtts://";
        }
        return libraryWhy(rc);
    default:
        return libraryWhy(rc);
    }
}

// Publishes offline and disconnects, each awaited a little.
void Connection::goodbye() {
    goodbyeAcknowledged_ = false;
    publish(settings_.willTopic, "offline", true, &goodbyeMid_);
    for (int waited = 0; waited < kGoodbyeMs && !goodbyeAcknowledged_; waited += kLoopMs / 10) {
        if (loop(kLoopMs / 10) != MOSQ_ERR_SUCCESS) {
            return;
        }
    }
    disconnect();
    for (int waited = 0; waited < kGoodbyeMs; waited += kLoopMs / 10) {
        if (loop(kLoopMs / 10) != MOSQ_ERR_SUCCESS) {
            return;
        }
    }
}

}  // namespace mqtt
