// SPDX-License-Identifier: MIT
// Gateways agreeing on who publishes a press, with the broker between them played here: each
// gateway's clocks its own, each message a hop late.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "agreement.h"

namespace {

using mqtt::Agreement;
using mqtt::HeardPress;
using mqtt::Steps;

constexpr std::int64_t kMs = 1000;
constexpr std::int64_t kTickUs = 100 * kMs;

// Gateways on one broker, on a shared timeline in µs.
class Broker {
public:
    struct Gateway {
        std::string node;
        std::int64_t monotonicUs;  // where its monotonic clock stands at 0
        std::int64_t wallUs;       // and its wall clock
        Agreement agreement;
        bool connected = true;
    };

    explicit Broker(const std::vector<std::string> &nodes, std::int64_t hopUs = 2 * kMs) : hopUs_(hopUs) {
        std::int64_t skew = 0;
        for (const std::string &node : nodes) {
            // Clocks minutes apart, and none at 0.
            gateways_.push_back({node, 7'000'000'000 + skew, 1'700'000'000'000'000 - 3 * skew, Agreement(node)});
            skew += 180'000'000;
        }
        for (std::size_t i = 0; i < gateways_.size(); ++i) {
            for (std::size_t j = 0; j < gateways_.size(); ++j) {
                if (i != j) {
                    act(i, gateways_[i].agreement.gateway(gateways_[j].node, true, local(i)));
                }
            }
            act(i, gateways_[i].agreement.connected(true, local(i)));
        }
    }

    // Gateway `i` hears a press of `lengthMs` that ends, by the shared timeline, at `atUs`.
    void hear(std::size_t i, std::int64_t atUs, unsigned int button = 1, std::int64_t lengthMs = 200) {
        at(atUs, [=] {
            Gateway &gateway = gateways_[i];
            const std::int64_t endedUs = gateway.wallUs + nowUs_;
            const HeardPress press{6400, button, endedUs - lengthMs * kMs, endedUs, gateway.node};
            act(i, gateway.agreement.heard(press, local(i), local(i)));
        });
    }

    // Gateway `i` goes: with its last will at once, or only much later (its power cut).
    void leave(std::size_t i, std::int64_t atUs, std::int64_t willAfterUs = 0) {
        at(atUs, [=] { gateways_[i].connected = false; });
        at(atUs + willAfterUs + hopUs_, [=] {
            for (std::size_t j = 0; j < gateways_.size(); ++j) {
                if (j != i && gateways_[j].connected) {
                    act(j, gateways_[j].agreement.gateway(gateways_[i].node, false, local(j)));
                }
            }
        });
    }

    // Runs to `untilUs`, each gateway ticking as the gateway's loop does.
    void run(std::int64_t untilUs) {
        for (std::int64_t tick = kTickUs; tick <= untilUs; tick += kTickUs) {
            at(tick, [=] {
                for (std::size_t i = 0; i < gateways_.size(); ++i) {
                    if (gateways_[i].connected) {
                        act(i, gateways_[i].agreement.tick(local(i)));
                    }
                }
            });
        }
        while (!queue_.empty() && queue_.begin()->first <= untilUs) {
            const auto next = queue_.begin();
            nowUs_ = next->first;
            const auto event = next->second;
            queue_.erase(next);
            event();
        }
    }

    // The shared events published, by button.
    std::map<unsigned int, int> shared;
    std::vector<std::string> publishers;

private:
    std::int64_t local(std::size_t i) const { return gateways_[i].monotonicUs + nowUs_; }

    void at(std::int64_t whenUs, std::function<void()> event) { queue_.emplace(whenUs, std::move(event)); }

    // What gateway `i` does, its messages reaching every connected gateway a hop later.
    void act(std::size_t i, const Steps &steps) {
        if (!gateways_[i].connected) {
            return;
        }
        for (const HeardPress &press : steps.publish) {
            ++shared[press.button];
            publishers.push_back(gateways_[i].node);
            at(nowUs_ + hopUs_, [=] {
                for (std::size_t j = 0; j < gateways_.size(); ++j) {
                    if (gateways_[j].connected) {
                        gateways_[j].agreement.published(press, local(j));
                    }
                }
            });
        }
        for (const HeardPress &press : steps.report) {
            // A report says how long ago the press ended, never when.
            const std::int64_t ageUs = gateways_[i].wallUs + nowUs_ - press.endedUs;
            at(nowUs_ + hopUs_, [=] {
                for (std::size_t j = 0; j < gateways_.size(); ++j) {
                    if (j != i && gateways_[j].connected) {
                        act(j, gateways_[j].agreement.heard(press, local(j) - ageUs, local(j)));
                    }
                }
            });
        }
    }

    std::vector<Gateway> gateways_;
    std::int64_t hopUs_;
    std::int64_t nowUs_ = 0;
    std::multimap<std::int64_t, std::function<void()>> queue_;
};

TEST(Agreement, PublishesEachPressOnceWhateverTheOrderAndOffsets) {
    const struct {
        std::vector<std::string> nodes;
        std::vector<std::int64_t> offsetsMs;  // when each hears the press after the first; -1: not at all
    } rows[] = {
        {{"a"}, {0}},
        {{"a", "b"}, {0, 0}},
        {{"a", "b"}, {40, 0}},
        {{"a", "b"}, {45, 0}},
        {{"a", "b"}, {0, 250}},
        {{"a", "b"}, {250, 0}},
        {{"a", "b"}, {-1, 0}},
        {{"a", "b", "c"}, {45, 22, 0}},
        {{"a", "b", "c"}, {40, 20, 0}},
        {{"a", "b", "c"}, {0, 0, 0}},
        {{"a", "b", "c"}, {250, 125, 0}},
        {{"a", "b", "c"}, {-1, -1, 0}},
        {{"a", "b", "c"}, {-1, 250, 0}},
    };
    for (const auto &row : rows) {
        for (const std::int64_t hopUs : {std::int64_t{200}, 2 * kMs, 30 * kMs}) {
            SCOPED_TRACE(::testing::PrintToString(row.offsetsMs) + ", a hop of " + std::to_string(hopUs) + " µs");
            Broker broker(row.nodes, hopUs);
            for (std::size_t i = 0; i < row.nodes.size(); ++i) {
                if (row.offsetsMs[i] >= 0) {
                    broker.hear(i, 1'000 * kMs + row.offsetsMs[i] * kMs);
                }
            }
            broker.run(10'000 * kMs);
            EXPECT_EQ(broker.shared[1], 1);
        }
    }
}

TEST(Agreement, TellsABurstOfPressesApartAsEveryGatewayHearsThem) {
    Broker broker({"a", "b", "c"});
    // Ten presses of two buttons, 600 ms apart; c hears each first, a 45 ms later, b 250 ms later.
    for (int press = 0; press < 10; ++press) {
        const std::int64_t atUs = 1'000 * kMs + press * 600 * kMs;
        const unsigned int button = 1 + static_cast<unsigned int>(press % 2);
        broker.hear(2, atUs, button);
        broker.hear(0, atUs + 45 * kMs, button);
        broker.hear(1, atUs + 250 * kMs, button);
    }
    broker.run(20'000 * kMs);
    EXPECT_EQ(broker.shared[1], 5);
    EXPECT_EQ(broker.shared[2], 5);
    // One gateway's own presses are never one, however close: its receiver told them apart.
    Broker alone({"a", "b"});
    alone.hear(1, 1'000 * kMs);
    alone.hear(1, 1'280 * kMs);
    alone.run(5'000 * kMs);
    EXPECT_EQ(alone.shared[1], 2);
}

TEST(Agreement, OneGatewayPublishesAndTheNextTakesOverWhenItGoes) {
    Broker broker({"a", "b", "c"});
    broker.hear(0, 1'000 * kMs);
    broker.hear(2, 1'010 * kMs);
    broker.run(2'000 * kMs);
    EXPECT_EQ(broker.publishers, std::vector<std::string>{"a"});
    // a's last will reaches the others; b publishes what c hears alone, once.
    broker.leave(0, 3'000 * kMs);
    broker.hear(2, 4'000 * kMs, 2);
    broker.run(6'000 * kMs);
    EXPECT_EQ(broker.publishers, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(broker.shared[2], 1);
}

TEST(Agreement, PublishesWhatTheGoneLeftUnsettledWhileStillFresh) {
    // a goes as the press is reported to it: its will comes 300 ms later.
    Broker quick({"a", "b", "c"});
    quick.hear(2, 1'000 * kMs);
    quick.leave(0, 1'000 * kMs, 300 * kMs);
    quick.run(4'000 * kMs);
    EXPECT_EQ(quick.publishers, std::vector<std::string>{"b"});
    // a's power is cut: the broker sends its will only after 45 s. Until then, the next in
    // line publishes what a leaves unsettled for a second, then all that comes.
    Broker cut({"a", "b", "c"});
    cut.leave(0, 500 * kMs, 45'000 * kMs);
    cut.hear(2, 1'000 * kMs, 1);
    cut.hear(1, 2'500 * kMs, 2);
    cut.hear(2, 2'520 * kMs, 2);
    cut.run(60'000 * kMs);
    EXPECT_EQ(cut.shared[1], 1);
    EXPECT_EQ(cut.shared[2], 1);
    EXPECT_EQ(cut.publishers, (std::vector<std::string>{"b", "b"}));
}

TEST(Agreement, NeedsNoRecordOfGatewaysThatAreGone) {
    std::vector<std::string> nodes = {"m", "n"};
    Broker broker(nodes);
    broker.hear(1, 1'000 * kMs);
    broker.hear(0, 1'030 * kMs);
    broker.run(3'000 * kMs);
    EXPECT_EQ(broker.publishers, std::vector<std::string>{"m"});
    // Twenty gateways that come first by name have left, their records still on the broker.
    Agreement agreement("m");
    agreement.connected(true, 0);
    for (int gone = 0; gone < 20; ++gone) {
        agreement.gateway("a" + std::to_string(gone), false, 0);
    }
    agreement.gateway("n", true, 0);
    EXPECT_EQ(agreement.publisher(0), "m");
    const Steps steps = agreement.heard({6400, 1, 0, 1, "m"}, 0, 0);
    EXPECT_EQ(steps.publish.size(), 1u);
}

TEST(Agreement, PublishesNothingStale) {
    Agreement agreement("a");
    agreement.connected(true, 0);
    const std::int64_t nowUs = 100'000 * kMs;
    EXPECT_TRUE(agreement.heard({6400, 1, 0, 1, "b"}, nowUs - mqtt::kFreshPressUs - 1, nowUs).publish.empty());
    // Held while b published, and b gone when it was no longer fresh.
    Agreement held("a");
    held.gateway("0", true, 0);
    held.connected(true, 0);
    EXPECT_EQ(held.heard({6400, 1, 0, 1, "a"}, 0, 0).report.size(), 1u);
    EXPECT_TRUE(held.gateway("0", false, mqtt::kFreshPressUs + 1).publish.empty());
}

}  // namespace
