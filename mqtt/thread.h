// SPDX-License-Identifier: MIT
// The gateway's threads, on stacks of their own size: std::thread gives each the stack limit's
// 8 MiB, which the press's memory lock would count and, where it faults pages in, keep.
#ifndef TERUNA_MQTT_THREAD_H
#define TERUNA_MQTT_THREAD_H

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <string>

namespace mqtt {

// Room for the deepest of them: a TLS handshake or a name lookup on the gateway's thread.
constexpr std::size_t kStackBytes = std::size_t{512} * 1024;

class Thread {
public:
    Thread() = default;
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;
    ~Thread() { join(); }

    // Runs `body` in a new thread. Returns "", or why there is none.
    std::string start(std::function<void()> body);
    [[nodiscard]] bool joinable() const { return started_; }
    void join();

private:
    std::function<void()> body_;
    pthread_t thread_{};
    bool started_ = false;
};

}  // namespace mqtt

#endif
