// SPDX-License-Identifier: MIT
// teruna-mqtt for days on the simulated pins, as when tried on a PC: the memory it holds stays
// flat over many presses while its recordings get every one.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

#include "broker.h"
#include "child.h"
#include "clock.h"
#include "mqtt_under_test.h"
#include "recording.h"

namespace {

std::size_t occurrences(const std::string &text, const std::string &word) {
    std::size_t count = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size())) {
        ++count;
    }
    return count;
}

TEST(GatewayOnSimulatedPins, HoldsNoMoreMemoryAfter200PressesThanAfter10) {
#ifdef TERUNA_SANITIZER_SHADOW
    GTEST_SKIP() << "the sanitizer's own memory would be measured";
#endif
    if (std::string(MOSQUITTO).empty() || access(MOSQUITTO, X_OK) != 0) {
        GTEST_SKIP() << "mosquitto is not installed (Debian: mosquitto)";
    }
    if (!std::vector<std::string>{TERUNA_EMULATOR}.empty()) {
        GTEST_SKIP() << "the emulator's memory would be measured, not the gateway's";
    }
    child::ScratchDir scratch("teruna-gateway-memory");
    const std::string dir = scratch.path();
    broker::Broker broker(MOSQUITTO, MOSQUITTO_PASSWD, dir);
    ASSERT_TRUE(broker.ready());
    broker::Hub hub(broker.port);
    std::ofstream(dir + "/mqtt.conf") << "broker = mqtt://127.0.0.1:" << broker.port << "\nnode = test\n";
    child::Child gateway({"-c", dir + "/mqtt.conf"},
                         child::environmentWith({"TERUNA_SIM_CLOCK=virtual", "TERUNA_SIM_LOG=" + dir + "/sent.log",
                                                 "TERUNA_SIM_VCD=" + dir + "/sent.vcd"}),
                         "", TERUNA_MQTT_BINARY, "teruna-mqtt");
    ASSERT_TRUE(hub.saw("teruna/test/status", "online"));

    // Ten at a time, within the gateway's queue.
    const auto pressUntil = [&](std::size_t presses) {
        for (std::size_t sent = hub.on("teruna/test/sent", 0).size(); sent < presses; sent += 10) {
            for (int i = 0; i < 10; ++i) {
                hub.publish("teruna/test/send", R"({"remote": 6400, "button": 3})");
            }
            ASSERT_EQ(hub.on("teruna/test/sent", sent + 10).size(), sent + 10);
        }
    };
    pressUntil(10);
    const long afterTenKb = broker::statusKb(gateway.pid(), "VmHWM:");
    pressUntil(200);
    const long afterAllKb = broker::statusKb(gateway.pid(), "VmHWM:");
    kill(gateway.pid(), SIGTERM);
    EXPECT_EQ(gateway.finish().status, 0);

    // A press is some 13,000 calls, 400 kB in memory: the bound is below ten presses' worth.
    EXPECT_GT(afterTenKb, 0);
    EXPECT_LT(afterAllKb - afterTenKb, 4096) << afterTenKb << " kB after 10 presses, " << afterAllKb << " after 200";
    const std::string log = recording::readFile(dir + "/sent.log");
    EXPECT_EQ(occurrences(log, " piHiPri 90 "), 200u);
    EXPECT_EQ(occurrences(log, " piHiPri 0 "), 200u);
}

}  // namespace
