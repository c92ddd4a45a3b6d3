// SPDX-License-Identifier: MIT
// A broker named NAME.local, which a static build cannot look up itself: its C library has no
// way to the system's mDNS resolver, but `getent` does.
#ifndef TERUNA_MQTT_LOCAL_NAME_H
#define TERUNA_MQTT_LOCAL_NAME_H

#include <string>

namespace mqtt {

// True for a name in the .local domain, which only mDNS answers.
bool isLocalName(const std::string &host);

// Runs `getent ahosts NAME` from PATH and returns the first address it prints, IPv4 or IPv6, or
// "" when it gives none within a few seconds.
std::string systemAddressOf(const std::string &name);

// What to say when neither lookup finds `host`: the mDNS it needs, and what to write instead.
std::string needsMdns(const std::string &host, bool tls, int port);

}  // namespace mqtt

#endif
