// SPDX-License-Identifier: MIT
#include "connection.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <tuple>

namespace mqtt {

namespace {

constexpr int kQos = 1;

ConnectionEvents &events(void *data) { return *static_cast<ConnectionEvents *>(data); }

}  // namespace

bool BrokerSettings::operator==(const BrokerSettings &other) const {
    const auto fields = [](const BrokerSettings &s) {
        return std::tie(s.host, s.port, s.tls, s.username, s.password, s.caFile, s.keepAliveS, s.clientId, s.willTopic);
    };
    return fields(*this) == fields(other);
}

BrokerSettings brokerSettings(const Config &config, const Topics &topics) {
    BrokerSettings settings;
    settings.host = config.host;
    settings.port = config.port;
    settings.tls = config.tls;
    settings.username = config.username;
    settings.password = config.password;
    settings.caFile = config.caFile;
    settings.keepAliveS = config.keepAliveS;
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
std::string Connection::setUp(const BrokerSettings &settings) {
    mosquitto *client = mosquitto_new(settings.clientId.c_str(), true, &events_);
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
        return "cannot set up the MQTT client: " + std::string(mosquitto_strerror(rc));
    }
    mosquitto_log_callback_set(client, [](mosquitto *, void *data, int level, const char *text) {
        if (level == MOSQ_LOG_ERR) {
            events(data).onLibraryError(text);
        }
    });
    mosquitto_connect_v5_callback_set(client, [](mosquitto *, void *data, int reasonCode, int,
                                                 const mosquitto_property *) { events(data).onConnect(reasonCode); });
    mosquitto_disconnect_v5_callback_set(client,
                                         [](mosquitto *, void *data, int reasonCode, const mosquitto_property *) {
                                             events(data).onDisconnect(reasonCode);
                                         });
    mosquitto_subscribe_v5_callback_set(
        client, [](mosquitto *, void *data, int mid, int count, const int *granted, const mosquitto_property *) {
            events(data).onSubscribe(mid, count, granted);
        });
    mosquitto_message_callback_set(
        client, [](mosquitto *, void *data, const mosquitto_message *message) { events(data).onMessage(*message); });
    mosquitto_publish_callback_set(client, [](mosquitto *, void *data, int mid) { events(data).onPublish(mid); });
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
    return "";
}

// Only the gateway's thread makes the client anew, so its own calls need no lock.
int Connection::connect(const std::string &host, int maxPacket) {
    mosquitto_property *properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, static_cast<std::uint32_t>(maxPacket));
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

}  // namespace mqtt
