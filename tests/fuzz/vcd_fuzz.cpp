// SPDX-License-Identifier: MIT
// libFuzzer entry: any bytes through the VCD reader and, when they read, the decoder.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "TerunaRx.h"
#include "vcd.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    for (const char *channel : {"", "pin0"}) {
        rx::VcdWire wire;
        rx::TerunaRx receiver([](const rx::Press &) {});
        if (rx::readVcdText(text, channel, wire, [&](double timeUs, int level) {
                receiver.level(timeUs, level);
            }).empty()) {
            receiver.end(wire.endUs);
        }
    }
    return 0;
}
