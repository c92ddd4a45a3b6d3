// SPDX-License-Identifier: MIT
// Which gateway publishes a press that several heard: times in, what to publish out, no broker.
//
// One gateway at a time publishes the shared events: the first by node name among those
// online. The others report what they hear on a topic only gateways read. Every gateway keeps
// the presses heard and reported lately on its own monotonic clock, so no two gateways' wall
// clocks are ever compared: a press of one button from another gateway that ended within the
// longer press's length and a receiver's end-of-press silence of one already kept is the same
// press. A press is settled once its shared event is seen. When the publisher goes offline, or
// leaves a press unsettled for a second, the next in line publishes what is unsettled and
// still fresh.
#ifndef TERUNA_MQTT_AGREEMENT_H
#define TERUNA_MQTT_AGREEMENT_H

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace mqtt {

// A press older than this is published on BASE/received only: no automation acts on it late.
constexpr std::int64_t kFreshPressUs = 5'000'000;

// One press as one gateway heard it.
struct HeardPress {
    unsigned int remote = 0;
    unsigned int button = 0;
    std::int64_t beganUs = 0;  // on the hearer's wall clock: what the event says, never compared
    std::int64_t endedUs = 0;
    std::string node;  // the gateway that heard it

    [[nodiscard]] std::int64_t durationUs() const { return endedUs - beganUs; }
};

// What a gateway does next: publish shared events, or report presses to the publisher.
struct Steps {
    std::vector<HeardPress> publish;
    std::vector<HeardPress> report;
};

class Agreement {
public:
    // Reports of one press come this far apart, beyond the longer one's length: a receiver ends
    // a press a quarter second after its last frame, plus the way through the broker.
    static constexpr std::int64_t kSamePressSlackUs = 350'000;
    // A publisher that leaves a press unsettled this long, with no shared event seen meanwhile,
    // is passed over (its connection may be dead before the broker knows) ...
    static constexpr std::int64_t kSilentUs = 1'000'000;
    // ... for this long, beyond the broker's wait for its last will at the longest keepalive
    // worth having.
    static constexpr std::int64_t kPassedOverUs = 120'000'000;
    static constexpr std::int64_t kRememberUs = 60'000'000;

    explicit Agreement(std::string node) : node_(std::move(node)) {}

    void rename(const std::string &node) { node_ = node; }
    // This gateway's connection to the broker: without one it is nobody's publisher.
    Steps connected(bool online, std::int64_t nowUs);
    // Another gateway's status, online or not, as the broker keeps it (its last will among them).
    Steps gateway(const std::string &node, bool online, std::int64_t nowUs);
    // A press heard here (press.node is this one's) or reported by another gateway, which
    // ended at `endedAtUs` on this gateway's monotonic clock.
    Steps heard(const HeardPress &press, std::int64_t endedAtUs, std::int64_t nowUs);
    // A shared event seen on the broker, from whichever gateway published it.
    void published(const HeardPress &press, std::int64_t nowUs);
    // What a silent publisher left: taken over by the next in line.
    Steps tick(std::int64_t nowUs);

    // The gateway that publishes, as this one sees it; "" when this one is not connected and
    // knows of none.
    [[nodiscard]] std::string publisher(std::int64_t nowUs) const;

private:
    struct Kept {
        HeardPress press;        // as first heard or reported
        std::int64_t endedAtUs;  // on this gateway's monotonic clock
        std::int64_t keptAtUs;
        std::set<std::string> nodes;
        bool settled = false;
    };

    Kept *sameAs(const HeardPress &press, std::int64_t endedAtUs, bool sameNodeToo);
    Steps publishUnsettled(std::int64_t nowUs);
    void forget(std::int64_t nowUs);

    std::string node_;
    bool connected_ = false;
    std::map<std::string, std::int64_t> online_;  // other gateways online: passed over until then
    std::deque<Kept> kept_;
    std::int64_t lastSharedUs_ = -kSilentUs;
};

}  // namespace mqtt

#endif
