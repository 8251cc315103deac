// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/http.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "exporter/metrics.h"
#include "exporter/options.h"
#include "exporter/scrape.h"

int open_listener(const char* address)
{
    char host[256];
    const char* colon = strrchr(address, ':');
    size_t length = colon - address;
    if (address[0] == '[') { // [v6]:port
        address++;
        length -= 2;
    }
    if (length >= sizeof host) {
        report("invalid --web.listen-address: host name too long");
        return -1;
    }
    memcpy(host, address, length);
    host[length] = '\0';

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found;
    // No host: every address, IPv6 and IPv4 on one socket where the system allows.
    if (length == 0)
        hints.ai_family = AF_INET6;
    int error = getaddrinfo(length ? host : nullptr, colon + 1, &hints, &found);
    if (error != 0 && length == 0) {
        hints.ai_family = AF_INET;
        error = getaddrinfo(nullptr, colon + 1, &hints, &found);
    }
    if (error != 0) {
        report("cannot listen on %s: %s", exporter.listen_address, gai_strerror(error));
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
        report("cannot listen on %s: %s", exporter.listen_address, strerror(cause));
    return listener;
}

static text_buffer page;

static const char index_page[] =
    "<!DOCTYPE html>\n<html><head><title>volscan-exporter</title></head>\n"
    "<body><h1>volscan-exporter</h1>\n"
    "<p>Statistics of the EBS volumes of this machine: <a href=\"%s\">%s</a></p>\n"
    "</body></html>\n";

static MHD_Result respond(MHD_Connection* connection, unsigned status, const char* type,
                       const char* body, size_t length)
{
    MHD_Response* response =
        MHD_create_response_from_buffer(length, const_cast<char*>(body), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

static MHD_Result send_text(MHD_Connection* connection, unsigned status, const char* text)
{
    return respond(connection, status, "text/plain; charset=utf-8", text, strlen(text));
}

static MHD_Result send_metrics(MHD_Connection* connection)
{
    if (!scrape(&page)) {
        char text[256];
        snprintf(text, sizeof text, "cannot list the NVMe controllers: %s\n", strerror(errno));
        return send_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, text);
    }
    if (page.failed)
        return send_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    return respond(connection, MHD_HTTP_OK, metrics_content_type, page.data, page.used);
}

// libmicrohttpd's one thread calls this for every request, so scrapes never
// overlap and the running totals need no lock.
static MHD_Result answer(void*, MHD_Connection* connection, const char* url, const char* method,
                         const char*, const char*, size_t*, void**)
{
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return send_text(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed\n");
    if (strcmp(url, exporter.telemetry_path) == 0)
        return send_metrics(connection);
    if (strcmp(url, "/") == 0) {
        char text[sizeof index_page + 2048];
        int length = snprintf(text, sizeof text, index_page, exporter.telemetry_path,
                              exporter.telemetry_path);
        if (length < 0 || static_cast<size_t>(length) >= sizeof text)
            return MHD_NO;
        return respond(connection, MHD_HTTP_OK, "text/html; charset=utf-8", text, length);
    }
    return send_text(connection, MHD_HTTP_NOT_FOUND, "Not Found\n");
}

int serve_http(int listener)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked before the server's thread starts, so that only sigwait sees them.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &answer, nullptr,
        MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_CONNECTION_LIMIT, exporter.max_connections,
        MHD_OPTION_CONNECTION_TIMEOUT, 10u,
        // Holds the request head: a longer one gets 431.
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16 * 1024),
        MHD_OPTION_END);
    if (daemon == nullptr) {
        report("cannot start the HTTP server");
        return 1;
    }
    int received;
    while (sigwait(&stop, &received) != 0) {
    }
    MHD_stop_daemon(daemon);
    close(listener);
    free_text(&page);
    return 0;
}
