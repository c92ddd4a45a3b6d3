// SPDX-License-Identifier: MIT
#include "agreement.h"

#include <algorithm>
#include <cstdlib>

namespace mqtt {

std::string Agreement::publisher(std::int64_t nowUs) const {
    std::string first = connected_ ? node_ : "";
    for (const auto &[node, passedOverUntilUs] : online_) {
        if (passedOverUntilUs <= nowUs && (first.empty() || node < first)) {
            first = node;
        }
    }
    return first;
}

Steps Agreement::connected(bool online, std::int64_t nowUs) {
    connected_ = online;
    return publishUnsettled(nowUs);
}

Steps Agreement::gateway(const std::string &node, bool online, std::int64_t nowUs) {
    if (node == node_) {
        return {};
    }
    if (online) {
        online_[node] = nowUs;  // a status anew: no longer passed over
    } else {
        online_.erase(node);
    }
    return publishUnsettled(nowUs);
}

// The press kept that `press` is one with: of the same button, from a gateway not yet among
// its hearers (one receiver never hears a press twice), within the slack. An unsettled one
// first, then the nearest in time.
Agreement::Kept *Agreement::sameAs(const HeardPress &press, std::int64_t endedAtUs, bool sameNodeToo) {
    Kept *best = nullptr;
    for (Kept &kept : kept_) {
        const std::int64_t apartUs = std::llabs(kept.endedAtUs - endedAtUs);
        if (kept.press.remote != press.remote || kept.press.button != press.button ||
            (!sameNodeToo && kept.nodes.count(press.node) != 0) ||
            apartUs > std::max(kept.press.durationUs(), press.durationUs()) + kSamePressSlackUs) {
            continue;
        }
        if (best == nullptr || (best->settled && !kept.settled) ||
            (best->settled == kept.settled && apartUs < std::llabs(best->endedAtUs - endedAtUs))) {
            best = &kept;
        }
    }
    return best;
}

Steps Agreement::heard(const HeardPress &press, std::int64_t endedAtUs, std::int64_t nowUs) {
    forget(nowUs);
    if (nowUs - endedAtUs > kFreshPressUs) {
        return {};
    }
    if (Kept *same = sameAs(press, endedAtUs, false)) {
        same->nodes.insert(press.node);
        return {};
    }
    kept_.push_back({press, endedAtUs, nowUs, {press.node}, false});
    Steps steps;
    if (publisher(nowUs) == node_) {
        steps.publish.push_back(press);
        kept_.back().settled = true;
    } else if (press.node == node_) {
        steps.report.push_back(press);
    }
    return steps;
}

void Agreement::published(const HeardPress &press, std::int64_t nowUs) {
    forget(nowUs);
    lastSharedUs_ = nowUs;
    // Its publisher sent it as it heard it, or as the report came: it ended just now here too.
    if (Kept *same = sameAs(press, nowUs, true)) {
        same->nodes.insert(press.node);
        same->settled = true;
        return;
    }
    kept_.push_back({press, nowUs, nowUs, {press.node}, true});
}

Steps Agreement::tick(std::int64_t nowUs) {
    forget(nowUs);
    const std::string current = publisher(nowUs);
    if (current.empty() || current == node_) {
        return {};
    }
    const bool left = std::any_of(kept_.begin(), kept_.end(), [&](const Kept &kept) {
        return !kept.settled && nowUs - kept.keptAtUs > kSilentUs && kept.keptAtUs > lastSharedUs_ &&
               nowUs - kept.endedAtUs <= kFreshPressUs;
    });
    if (!left) {
        return {};
    }
    online_[current] = nowUs + kPassedOverUs;
    return publishUnsettled(nowUs);
}

Steps Agreement::publishUnsettled(std::int64_t nowUs) {
    Steps steps;
    if (publisher(nowUs) != node_) {
        return steps;
    }
    for (Kept &kept : kept_) {
        if (!kept.settled && nowUs - kept.endedAtUs <= kFreshPressUs) {
            steps.publish.push_back(kept.press);
        }
        kept.settled = true;
    }
    return steps;
}

void Agreement::forget(std::int64_t nowUs) {
    while (!kept_.empty() && nowUs - kept_.front().keptAtUs > kRememberUs) {
        kept_.pop_front();
    }
}

}  // namespace mqtt
