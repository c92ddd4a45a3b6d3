// SPDX-License-Identifier: MIT
// A press as one JSON object: what teruna-sniff prints and the gateway publishes.
#ifndef TERUNA_RX_PRESSJSON_H
#define TERUNA_RX_PRESSJSON_H

#include <cstdint>
#include <optional>
#include <string>

#include "Press.h"

namespace rx {

// {"remote":6400,"button":3,"frames":148,"start_us":541.2,"one_us":318.0,"zero_us":117.3,
// "scale":0.960,"skew_us":38.0}, with null for a width the code word has no symbol for; then
// "time" (UTC) when the press began, given as `beganUtcUs` since the epoch; "time_s", where it
// began on a recording's own clock; and "node", each when given.
std::string pressJson(const Press &press, std::optional<std::int64_t> beganUtcUs,
                      std::optional<double> recordingS = std::nullopt, const std::string &node = "");

}  // namespace rx

#endif
