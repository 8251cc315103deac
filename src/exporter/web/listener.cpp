// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/listener.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "exporter/log.h"

int open_listener(const char* host, const char* port, const char* address)
{
    size_t length = strlen(host);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found;
    // No host: every address, IPv6 and IPv4 on one socket where the system allows.
    if (length == 0)
        hints.ai_family = AF_INET6;
    int error = getaddrinfo(length ? host : nullptr, port, &hints, &found);
    if (error != 0 && length == 0) {
        hints.ai_family = AF_INET;
        error = getaddrinfo(nullptr, port, &hints, &found);
    }
    if (error != 0) {
        log_message("cannot listen on %s: %s", address, gai_strerror(error));
        return -1;
    }
    int listener = -1;
    int cause = 0;
    for (addrinfo* at = found; at != nullptr && listener < 0; at = at->ai_next) {
        listener = socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (listener < 0) {
            cause = errno;
            continue;
        }
        int on = 1;
        int off = 0;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (at->ai_family == AF_INET6 && length == 0)
            setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (bind(listener, at->ai_addr, at->ai_addrlen) != 0 || listen(listener, 64) != 0) {
            cause = errno;
            close(listener);
            listener = -1;
        }
    }
    freeaddrinfo(found);
    if (listener < 0)
        log_message("cannot listen on %s: %s", address, strerror(cause));
    return listener;
}
