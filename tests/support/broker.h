// SPDX-License-Identifier: MIT
// A mosquitto broker of a test's own on 127.0.0.1, and a hub that publishes to it and keeps
// what arrives: for the gateway's tests and its benchmark.
#ifndef TERUNA_TESTS_BROKER_H
#define TERUNA_TESTS_BROKER_H

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

extern char **environ;

namespace broker {

struct Message {
    std::string topic;
    std::string payload;
    bool retained;
    std::int64_t arrivedNs;  // on CLOCK_MONOTONIC, when the hub's client was handed it
};

// A broker of the test's own on a free port of 127.0.0.1, with a password file when asked.
class Broker {
public:
    // `extra` lines of configuration apply to the listener: TLS, an ACL, no persistence.
    Broker(const char *mosquitto, const char *passwd, const std::string &dir, const std::string &user = "",
           const std::string &extra = "")
        : mosquitto_(mosquitto), dir_(dir) {
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(probe, reinterpret_cast<sockaddr *>(&address), size);
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
        close(probe);
        std::ofstream conf(dir + "/broker.conf");
        // Run as root, it would take another user's rights, which the test's folder does not grant.
        conf << "listener " << port << " 127.0.0.1\nuser " << getpwuid(getuid())->pw_name
             << "\npersistence true\npersistence_location " << dir << "/\n"
             << extra;
        if (user.empty()) {
            conf << "allow_anonymous true\n";
        } else {
            conf << "allow_anonymous false\npassword_file " << dir << "/passwords\n";
            const std::string make = std::string(passwd) + " -c -b " + dir + "/passwords " + user + " secret";
            ready_ = std::system(make.c_str()) == 0;
        }
        conf.close();
        start();
    }
    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;
    ~Broker() { stop(); }

    void start() {
        const std::string conf = dir_ + "/broker.conf";
        const char *argv[] = {mosquitto_, "-c", conf.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir_ + "/broker.log").c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn(&pid_, mosquitto_, &actions, nullptr, const_cast<char **>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        int tries = 0;
        for (; tries < 500 && !accepts(); ++tries) {
            usleep(10'000);
        }
        ready_ = ready_ && tries < 500;
    }

    // Pauses and resumes the broker, as a machine that hangs.
    void pause(bool paused) const { kill(pid_, paused ? SIGSTOP : SIGCONT); }

    // False when the broker did not start.
    [[nodiscard]] bool ready() const { return ready_; }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

    int port = 0;

private:
    bool accepts() const {
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool connected = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        close(probe);
        return connected;
    }

    const char *mosquitto_;
    std::string dir_;
    pid_t pid_ = 0;
    bool ready_ = true;
};

// A figure in KiB from /proc/PID/status, as "VmRSS:" names it; 0 when it cannot be read.
inline long statusKb(pid_t pid, const std::string &key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word && word != key) {
    }
    long kb = 0;
    status >> kb;
    return kb;
}

// A hub: subscribes to everything and keeps what arrives. With a name, the broker keeps its
// session while it is away.
class Hub {
public:
    explicit Hub(int port, const std::string &name = "") {
        mosquitto_lib_init();
        client_ = mosquitto_new(name.empty() ? nullptr : name.c_str(), name.empty(), this);
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_callback_set(client_, [](mosquitto *client, void *, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(client, nullptr, "#", 1);
            }
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto *, void *hub, int, int, const int *) {
            static_cast<Hub *>(hub)->add({"", "", false, 0});
        });
        mosquitto_message_callback_set(client_, [](mosquitto *, void *hub, const mosquitto_message *m) {
            static_cast<Hub *>(hub)->add(
                {m->topic, std::string(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen)),
                 m->retain, 0});
        });
        mosquitto_connect(client_, "127.0.0.1", port, 30);
        mosquitto_loop_start(client_);
        on("", 1);
    }
    Hub(const Hub &) = delete;
    Hub &operator=(const Hub &) = delete;
    ~Hub() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
        mosquitto_lib_cleanup();
    }

    void publish(const std::string &topic, const std::string &payload, bool retain = false) {
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    }

    // The messages on `topic`, once there are `count` of them or 20 s have passed.
    std::vector<Message> on(const std::string &topic, std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::vector<Message> found;
        arrived_.wait_for(lock, std::chrono::seconds(20), [&] {
            found.clear();
            for (const Message &message : messages_) {
                if (message.topic == topic) {
                    found.push_back(message);
                }
            }
            return found.size() >= count;
        });
        return found;
    }

    // True once `payload` has come on `topic` `times` times, within 20 s.
    bool saw(const std::string &topic, const std::string &payload, std::size_t times = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::seconds(20), [&] {
            return static_cast<std::size_t>(std::count_if(messages_.begin(), messages_.end(), [&](const Message &m) {
                       return m.topic == topic && m.payload == payload;
                   })) >= times;
        });
    }

    std::vector<std::string> payloads(const std::string &topic, std::size_t count) {
        std::vector<std::string> found;
        for (const Message &message : on(topic, count)) {
            found.push_back(message.payload);
        }
        return found;
    }

    // The topics the broker keeps a message on, as a hub that comes now finds them: they come
    // before a message of its own.
    std::set<std::string> kept() {
        const std::string marker = "teruna-test/kept/" + std::to_string(++markers_);
        publish(marker, "");
        on(marker, 1);
        const std::lock_guard<std::mutex> lock(mutex_);
        std::set<std::string> topics;
        for (const Message &message : messages_) {
            if (message.retained && !message.payload.empty()) {
                topics.insert(message.topic);
            }
        }
        return topics;
    }

    // Each event on a remote's event topic whose event_type its event entity, as the hub knew
    // it at that moment, does not list: Home Assistant drops such a press. Only where discovery
    // is in use (the hub saw an event entity's config).
    std::vector<std::string> eventsTheHubWouldDrop() {
        const std::string entity = "/event/teruna_remote_";
        const std::string config = "/press/config";
        const std::string eventTopic = "/event";
        std::map<std::string, std::string> typesOf;  // remote → its config's event_types
        std::vector<std::string> dropped;
        bool discovery = false;
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const Message &message : messages_) {
            const std::string &topic = message.topic;
            const std::size_t at = topic.find(entity);
            if (at != std::string::npos && topic.size() > config.size() &&
                topic.compare(topic.size() - config.size(), config.size(), config) == 0) {
                discovery = true;
                const std::string remote =
                    topic.substr(at + entity.size(), topic.size() - config.size() - at - entity.size());
                const nlohmann::json parsed = nlohmann::json::parse(message.payload, nullptr, false);
                typesOf[remote] = parsed.is_object() ? parsed.value("event_types", nlohmann::json()).dump() : "";
            } else if (const std::size_t remoteAt = topic.rfind("/remote/");
                       remoteAt != std::string::npos && topic.size() > eventTopic.size() &&
                       topic.compare(topic.size() - eventTopic.size(), eventTopic.size(), eventTopic) == 0) {
                const std::string remote = topic.substr(remoteAt + 8, topic.size() - eventTopic.size() - remoteAt - 8);
                const nlohmann::json event = nlohmann::json::parse(message.payload, nullptr, false);
                const std::string type = event.is_object() ? event.value("event_type", "") : "";
                if (typesOf[remote].find("\"" + type + "\"") == std::string::npos) {
                    dropped.push_back(topic + " " + type);
                }
            }
        }
        return discovery ? dropped : std::vector<std::string>{};
    }

private:
    void add(Message message) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        message.arrivedNs = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
        const std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(std::move(message));
        arrived_.notify_all();
    }

    mosquitto *client_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Message> messages_;
    int markers_ = 0;
};

}  // namespace broker

#endif
