// SPDX-License-Identifier: MIT
// The gateway's one libmosquitto client and the lock around it: the gateway's thread connects,
// loops and makes the client anew when the broker's settings change, while the transmitting and
// receiving threads publish what they sent and heard. The client is only ever destroyed under
// the lock they publish under.
#ifndef TERUNA_MQTT_CONNECTION_H
#define TERUNA_MQTT_CONNECTION_H

#include <mutex>
#include <string>

#include "config.h"
#include "topics.h"

struct mosquitto;
struct mosquitto_message;

namespace mqtt {

// Everything the client is made from: a reload that changes any of it connects anew.
struct BrokerSettings {
    std::string host;
    int port = 0;
    bool tls = false;
    std::string username;
    std::string password;
    std::string caFile;
    int keepAliveS = 0;
    std::string clientId;
    std::string willTopic;  // "offline", retained, when the connection dies; none when empty

    bool operator==(const BrokerSettings &other) const;
    bool operator!=(const BrokerSettings &other) const { return !(*this == other); }
};
BrokerSettings brokerSettings(const Config &config, const Topics &topics);

// What libmosquitto reports, on the thread that loops.
class ConnectionEvents {
public:
    virtual void onConnect(int reasonCode) = 0;
    virtual void onDisconnect(int reasonCode) = 0;
    virtual void onSubscribe(int mid, int count, const int *granted) = 0;
    virtual void onMessage(const mosquitto_message &message) = 0;
    virtual void onPublish(int mid) = 0;
    virtual void onLibraryError(const char *text) = 0;

protected:
    ~ConnectionEvents() = default;
};

class Connection {
public:
    explicit Connection(ConnectionEvents &events);
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection();

    // Makes the client for `settings`, in place of any before it. Returns "", or why not.
    std::string setUp(const BrokerSettings &settings);
    // On the gateway's thread: the libmosquitto return codes.
    int connect(const std::string &host, int maxPacket);
    int loop(int timeoutMs);
    int disconnect();
    // From any thread. `mid`, when given, receives the message's id.
    int publish(const std::string &topic, const std::string &payload, bool retain, int *mid = nullptr);
    int subscribe(const std::string &filter, int *mid);
    [[nodiscard]] const BrokerSettings &settings() const { return settings_; }

private:
    ConnectionEvents &events_;
    std::mutex mutex_;
    mosquitto *client_ = nullptr;
    BrokerSettings settings_;
};

}  // namespace mqtt

#endif
