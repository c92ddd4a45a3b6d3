// SPDX-License-Identifier: MIT
// The gateway's one libmosquitto client and the lock around it, and its connections to the
// broker: connecting, trying again, and saying once per change what keeps the broker away.
// The gateway's thread connects, loops and makes the client anew when the broker's settings
// change, while the transmitting and receiving threads publish what they sent and heard. The
// client is only ever destroyed under the lock they publish under.
#ifndef TERUNA_MQTT_CONNECTION_H
#define TERUNA_MQTT_CONNECTION_H

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "config.h"
#include "topics.h"

struct mosquitto;
struct mosquitto_message;

namespace mqtt {

// The largest packet the broker may send the gateway: requests, and the retained records and
// configs it reads back.
constexpr int kMaxPacket = 256 * 1024;
// A broker that is away (nothing answers, or an open connection dropped) is tried again every
// half second, so that the gateway is back within a second of its return however long it was
// gone. One that answers but cannot take the gateway (a refusal, TLS, not MQTT) is tried after
// 1 s, then after twice as long each time, up to every 60 s.
constexpr int kAwayRetryMs = 500;
constexpr int kFirstRetryS = 1;
constexpr int kLastRetryS = 60;
// After another gateway took over the node's session: one take-over a minute at most.
constexpr int kTakeOverRetryS = 60;

// Everything the client is made from: a reload that changes any of it connects anew.
struct BrokerSettings {
    std::string url;  // as the configuration writes it, for what is said
    std::string host;
    int port = 0;
    bool tls = false;
    std::string username;
    std::string password;
    std::string caFile;
    int keepAliveS = 0;
    std::string node;
    std::string clientId;
    std::string willTopic;  // "offline", retained, when the connection dies; none when empty

    bool operator==(const BrokerSettings &other) const;
    bool operator!=(const BrokerSettings &other) const { return !(*this == other); }
};
BrokerSettings brokerSettings(const Config &config, const Topics &topics);

// libmosquitto's text for `rc` without its full stop, for the middle of a line.
std::string libraryWhy(int rc);

// What the connection tells the gateway, on the thread that loops.
class ConnectionEvents {
public:
    // The broker took the connection; it is gone.
    virtual void onOnline() = 0;
    virtual void onOffline() = 0;
    virtual void onSubscribe(int mid, int count, const int *granted) = 0;
    virtual void onMessage(const mosquitto_message &message) = 0;
    virtual void onPublish(int mid) = 0;
    // After each pass of the loop: stay, leave saying goodbye (to connect anew), or leave
    // without a word (the node is another gateway's now).
    enum class Turn { stay, leave, yield };
    virtual Turn onTurn() = 0;

protected:
    ~ConnectionEvents() = default;
};

class Connection {
public:
    explicit Connection(ConnectionEvents &events);
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection();

    // Makes the client for `settings`, in place of any before it, and starts trying afresh;
    // `quiet`, it says nothing of the broker. Returns "", or why not.
    std::string setUp(const BrokerSettings &settings, bool quiet = false);
    // On the gateway's thread: one connection, from connecting to its loss, the stop, or a turn
    // that leaves it.
    void serve(const std::atomic<bool> &stopping);
    // How long to wait before the next connection, by how the last one ended.
    std::chrono::milliseconds retryWait();
    // Another gateway is using the node: said once; the next try only after a minute.
    void takenOver();
    void sayClash();
    // From any thread. `mid`, when given, receives the message's id.
    int publish(const std::string &topic, const std::string &payload, bool retain, int *mid = nullptr);
    int subscribe(const std::string &filter, int *mid);
    int disconnect();
    // With a loop of its own, for a client that is not served.
    int loop(int timeoutMs);
    int connect();
    [[nodiscard]] const BrokerSettings &settings() const { return settings_; }
    // The broker's answer to this connection (0: taken); -1 before it comes.
    [[nodiscard]] int answer() const { return answer_; }

private:
    enum class State { starting, online, unreachable, refused, lost, takenOver };

    int connectTo(const std::string &host);
    void say(State state, const std::string &why = "");
    std::string whyOf(int rc);
    void goodbye();

    void onConnect(int reasonCode);
    void onDisconnect(int reasonCode);
    void onPublish(int mid);

    ConnectionEvents &events_;
    std::mutex mutex_;
    mosquitto *client_ = nullptr;
    BrokerSettings settings_;

    // On the gateway's thread alone.
    State said_ = State::starting;
    std::string saidWhy_;
    bool away_ = false;  // the broker is away, rather than refusing the gateway: tried again soon
    bool clashSaid_ = false;
    int retryS_ = kFirstRetryS;
    std::string host_;          // what this connection looked up: the broker's name, or its address from getent
    std::string libraryError_;  // what libmosquitto last logged as an error
    bool answered_ = false;     // the broker answered this connection
    int answer_ = -1;
    bool quiet_ = false;
    int goodbyeMid_ = -1;
    bool goodbyeAcknowledged_ = false;
};

}  // namespace mqtt

#endif
