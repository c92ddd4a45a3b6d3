// SPDX-License-Identifier: MIT
// The transmitting thread: one press at a time from the queue, at real-time priority while it
// is on the air, as teruna sends it.
#ifndef TERUNA_MQTT_TRANSMIT_H
#define TERUNA_MQTT_TRANSMIT_H

#include <climits>
#include <cstdint>
#include <functional>
#include <mutex>

#include "PressGatherer.h"
#include "queue.h"

namespace mqtt {

// Between two presses the pin stays low this long, so that a receiver takes them for two.
constexpr unsigned int kGapUs = 50'000;
// A press heard this soon after one of ours ended is taken for ours: the receiver reports a
// press only once it has been quiet for a while.
constexpr std::int64_t kEchoNs = 500'000'000;
// A time on CLOCK_MONOTONIC long before any press: the difference from now cannot overflow.
constexpr std::int64_t kLongAgoNs = INT64_MIN / 2;
// Our own press heard back is reported once the receiver has heard no frame for a while after
// it: the window must outlast that silence, with room for a receiver that is behind.
static_assert(kEchoNs >= 2 * static_cast<std::int64_t>(rx::kNoFrameUs) * 1000,
              "the echo window is shorter than the silence that ends a press");

class Transmitter {
public:
    // `onSent` gets each request once it is on the air: when it began (us since the epoch),
    // how long it waited and how long it took (ms).
    using Sent = std::function<void(const Request &, std::int64_t startUs, double waitedMs, double tookMs)>;

    Transmitter(int pin, Queue &queue, Sent onSent) : pin_(pin), queue_(queue), onSent_(std::move(onSent)) {}

    // Sends what the queue gives until it stops. Every signal that can be held must be held in
    // the calling thread: nothing may end a press with the transmitter keyed.
    void run();

    // True while a press is on the air, or was until kEchoNs ago.
    [[nodiscard]] bool onTheAirLately(std::int64_t nowNs) const;

    // Held from the start of each press to its end.
    std::mutex &pressing() { return pressing_; }

private:
    int pin_;
    Queue &queue_;
    Sent onSent_;
    std::mutex pressing_;
    void setQuietSince(std::int64_t ns);

    // A lock, not a std::atomic: a 64-bit atomic on ARMv6 needs libatomic, whose archive
    // brings ARMv7 code into the static armhf binary.
    mutable std::mutex quietGuard_;
    std::int64_t quietSinceNs_ = kLongAgoNs;  // INT64_MAX while on the air
};

}  // namespace mqtt

#endif
