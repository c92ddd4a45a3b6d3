// SPDX-License-Identifier: MIT
#include "transmit.h"

#include <climits>

#include "TerunaTx.h"
#include "clocks.h"
#include "messages.h"

namespace mqtt {

void Transmitter::run() {
    tx::TerunaTx transmitter(pin_);
    std::int64_t lastEndNs = kLongAgoNs;
    Request request;
    while (queue_.pop(request)) {
        const std::lock_guard<std::mutex> lock(pressing_);
        const std::int64_t sinceLastUs = (common::monotonicNs() - lastEndNs) / 1000;
        if (sinceLastUs < kGapUs) {
            delayMicroseconds(kGapUs - static_cast<unsigned int>(sinceLastUs));
        }
        setQuietSince(INT64_MAX);
        const std::int64_t startNs = common::monotonicNs();
        const std::int64_t startUs = common::realtimeUs();
        transmitter.sendButton(static_cast<unsigned short>(request.remote), static_cast<unsigned char>(request.button));
        lastEndNs = common::monotonicNs();
        setQuietSince(lastEndNs);
        onSent_(request, startUs, static_cast<double>(startNs - request.arrivedNs) / 1e6,
                static_cast<double>(lastEndNs - startNs) / 1e6);
    }
}

bool Transmitter::onTheAirLately(std::int64_t nowNs) const {
    const std::lock_guard<std::mutex> lock(quietGuard_);
    return nowNs - quietSinceNs_ < kEchoNs;
}

void Transmitter::setQuietSince(std::int64_t ns) {
    const std::lock_guard<std::mutex> lock(quietGuard_);
    quietSinceNs_ = ns;
}

}  // namespace mqtt
