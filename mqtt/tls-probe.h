// SPDX-License-Identifier: MIT
// Why a TLS connection to the broker failed, in words a user can act on.
#ifndef TERUNA_MQTT_TLS_PROBE_H
#define TERUNA_MQTT_TLS_PROBE_H

#include <string>

namespace mqtt {

// Connects to HOST:PORT once more, with the CA file (or the system's CAs when it is empty),
// and says why the handshake or the server's certificate fails: "certificate has expired",
// "the server is not a TLS listener (is it mqtt://?)". `libraryError` is what the MQTT
// library logged, said when the probe finds nothing.
std::string tlsFailure(const std::string &host, int port, const std::string &caFile, const std::string &libraryError);

}  // namespace mqtt

#endif
