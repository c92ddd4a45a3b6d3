// SPDX-License-Identifier: MIT
// The receiving thread: presses heard live on a GPIO input, or read from a Value Change Dump in
// a file or a FIFO (each writer of the FIFO one dump).
#ifndef TERUNA_MQTT_RECEIVE_H
#define TERUNA_MQTT_RECEIVE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "LiveLine.h"
#include "TerunaRx.h"
#include "config.h"
#include "fd.h"
#include "thread.h"

namespace mqtt {

class Receiver {
public:
    // A press, with when it began and ended in microseconds since the epoch.
    using Heard = std::function<void(const rx::Press &, std::int64_t beganUs, std::int64_t endedUs)>;

    Receiver(const Config &config, Heard onPress);
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;
    ~Receiver() { stop(); }

    // Opens the input and starts listening; nothing happens without one. Returns "", or what
    // failed and why.
    std::string start();

    // True once listening has failed: it has said why on standard error.
    [[nodiscard]] bool failed() const { return failed_; }

    // Becomes readable once listening has failed, for a poll that waits on more than this.
    [[nodiscard]] int failureFd() const { return failure_.get(); }

    void stop();

private:
    void readDumps();
    void listenLive();
    // Waits until the input can be read or stop() is called; false for the latter.
    bool waitForInput();
    void fail();

    const Config &config_;
    Heard onPress_;
    common::Fd input_;
    rx::LiveLine line_;
    common::Fd stopRead_, stopWrite_;
    Thread thread_;
    std::atomic<bool> failed_{false};
    common::Fd failure_;  // an eventfd
};

}  // namespace mqtt

#endif
