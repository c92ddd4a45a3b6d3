// SPDX-License-Identifier: MIT
#include "local-name.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdint>
#include <sstream>

#include "clocks.h"

extern char **environ;

namespace mqtt {

namespace {

// nss-mdns gives up on a name after five seconds.
constexpr std::int64_t kLookupNs = 8'000'000'000;

bool isAddress(const std::string &text) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), address) == 1 || inet_pton(AF_INET6, text.c_str(), address) == 1;
}

}  // namespace

bool isLocalName(const std::string &host) {
    std::string name = host;
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    const std::string domain = ".local";
    if (name.size() <= domain.size()) {
        return false;
    }
    for (std::size_t i = 0; i < domain.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[name.size() - domain.size() + i])) != domain[i]) {
            return false;
        }
    }
    return true;
}

std::string systemAddressOf(const std::string &name) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return "";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The gateway's threads hold every signal and ignore SIGPIPE; getent should not.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &pipe);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const char *argv[] = {"getent", "ahosts", name.c_str(), nullptr};
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, "getent", &actions, &attributes, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends[1]);
    std::string output;
    bool ended = false;
    const std::int64_t deadlineNs = common::monotonicNs() + kLookupNs;
    for (std::int64_t leftNs = kLookupNs; error == 0 && !ended && leftNs > 0;
         leftNs = deadlineNs - common::monotonicNs()) {
        pollfd ready{ends[0], POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(leftNs / 1'000'000) + 1) <= 0) {
            continue;
        }
        char chunk[512];
        const ssize_t got = read(ends[0], chunk, sizeof chunk);
        ended = got <= 0;
        output.append(chunk, got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    close(ends[0]);
    int status = 1;
    if (error == 0) {
        if (!ended) {
            kill(pid, SIGKILL);
        }
        waitpid(pid, &status, 0);
    }
    std::istringstream lines(output);
    std::string first;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !(lines >> first) || !isAddress(first)) {
        return "";
    }
    return first;
}

std::string needsMdns(const std::string &host, bool tls, int port) {
    return "cannot look up " + host +
           ": a .local name needs the system's mDNS (avahi-daemon and libnss-mdns); write the broker's address "
           "instead, as " +
           (tls ? "mqtts" : "mqtt") + "://192.168.1.20:" + std::to_string(port);
}

}  // namespace mqtt
