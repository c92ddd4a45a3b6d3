// SPDX-License-Identifier: MIT
#include "PressJson.h"

#include <cmath>
#include <cstdio>

#include "TerunaCode.h"
#include "clocks.h"

namespace rx {

namespace {

std::string number(const char *format, double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string quoted(const std::string &text) {
    std::string json = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned int>(c));
            json += escape;
        } else {
            json += c;
        }
    }
    return json + '"';
}

constexpr unsigned int kAllOnes = (1u << linecode::kCodeBits) - 1;

}  // namespace

std::string pressJson(const Press &press, std::optional<std::int64_t> beganUtcUs, std::optional<double> recordingS,
                      const std::string &node) {
    // A code word without a one, or without a zero, has no such width to measure.
    const unsigned int code =
        linecode::codeWord(static_cast<unsigned short>(press.remoteId), static_cast<unsigned char>(press.buttonId));
    std::string json = "{\"remote\":" + std::to_string(press.remoteId) +
                       ",\"button\":" + std::to_string(press.buttonId) + ",\"frames\":" + std::to_string(press.frames) +
                       ",\"start_us\":" + number("%.1f", press.startUs) +
                       ",\"one_us\":" + (code != 0 ? number("%.1f", press.oneUs) : "null") +
                       ",\"zero_us\":" + (code != kAllOnes ? number("%.1f", press.zeroUs) : "null") +
                       ",\"scale\":" + number("%.3f", press.scale) + ",\"skew_us\":" + number("%.1f", press.skewUs);
    if (beganUtcUs) {
        json += ",\"time\":" + quoted(common::utcTime(*beganUtcUs));
    }
    if (recordingS) {
        json += ",\"time_s\":" + number("%.6f", *recordingS);
    }
    if (!node.empty()) {
        json += ",\"node\":" + quoted(node);
    }
    return json + "}";
}

}  // namespace rx
