// SPDX-License-Identifier: MIT
#include "tls-probe.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>

#include "fd.h"

namespace mqtt {

namespace {

constexpr int kProbeS = 5;

common::Fd connectTo(const std::string &host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return {};
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
    for (const addrinfo *address = found; address != nullptr; address = address->ai_next) {
        common::Fd fd(socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol));
        const timeval limit{kProbeS, 0};
        if (fd.valid() && setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
            setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
            connect(fd.get(), address->ai_addr, address->ai_addrlen) == 0) {
            return fd;
        }
    }
    return {};
}

bool isAddress(const std::string &host) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace

std::string tlsFailure(const std::string &host, int port, const std::string &caFile, const std::string &libraryError) {
    std::string fallback = libraryError.empty() ? "the handshake failed" : libraryError;
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    const common::Fd fd = connectTo(host, port);
    if (context == nullptr || !fd.valid()) {
        return fallback;
    }
    SSL_CTX_load_verify_locations(context.get(), caFile.empty() ? nullptr : caFile.c_str(),
                                  caFile.empty() ? "/etc/ssl/certs" : nullptr);
    // The verdict on the certificate is read after the handshake, rather than ending it.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    const std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
    if (ssl == nullptr || SSL_set_fd(ssl.get(), fd.get()) != 1) {
        return fallback;
    }
    X509_VERIFY_PARAM *check = SSL_get0_param(ssl.get());
    if (isAddress(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl.get(), host.c_str());
        X509_VERIFY_PARAM_set1_host(check, host.c_str(), 0);
    }
    ERR_clear_error();
    if (SSL_connect(ssl.get()) != 1) {
        const unsigned long error = ERR_peek_last_error();
        if (ERR_GET_REASON(error) == SSL_R_WRONG_VERSION_NUMBER ||
            ERR_GET_REASON(error) == SSL_R_PACKET_LENGTH_TOO_LONG) {
            return "the broker's listener does not speak TLS: write the broker as mqtt://";
        }
        const char *why = ERR_reason_error_string(error);
        if (error == 0 || ERR_GET_REASON(error) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            // An MQTT listener takes the TLS greeting for a malformed packet and hangs up.
            return "the broker closed the connection during the handshake: if its listener is not TLS, write the "
                   "broker as mqtt://";
        }
        return why != nullptr ? why : fallback;
    }
    const long verdict = SSL_get_verify_result(ssl.get());
    if (verdict != X509_V_OK) {
        return std::string("the broker's certificate is refused: ") + X509_verify_cert_error_string(verdict);
    }
    return fallback;
}

}  // namespace mqtt
