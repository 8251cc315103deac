// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/http.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <pthread.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "exporter/compress.h"
#include "exporter/metrics.h"
#include "exporter/options.h"
#include "exporter/sandbox.h"
#include "exporter/scrape.h"
#include "exporter/webconfig.h"
#include "stats/interval.h"

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
    add_web_headers(response);
    MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

static MHD_Result send_text(MHD_Connection* connection, unsigned status, const char* text)
{
    return respond(connection, status, "text/plain; charset=utf-8", text, strlen(text));
}

// gzip where the client takes it; either way caches keep the two apart. The
// compressed copy is the response's own, which the library frees.
static MHD_Result respond_compressed(MHD_Connection* connection, const text_buffer& text)
{
    bool gzip = accepts_gzip(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING));
    text_buffer packed{};
    if (gzip && !gzip_text(text.data, text.used, &packed)) {
        free_text(&packed);
        return send_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    }
    MHD_Response* response = gzip
        ? MHD_create_response_from_buffer(packed.used, packed.data, MHD_RESPMEM_MUST_FREE)
        : MHD_create_response_from_buffer(text.used, text.data, MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        free_text(&packed);
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, metrics_content_type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (gzip)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    add_web_headers(response);
    MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

// The least time a scrape may take whatever the client says: shorter ones
// would fail devices that answer in the usual few milliseconds and fill the
// log with their failing and answering again.
constexpr double shortest_scrape = 0.5;

// The time a scrape may take: what Prometheus says it waits, less a margin
// for rendering and sending the page; or --scrape.timeout, which is also the
// most a client may ask for, so that no client holds a connection and its
// thread longer than the operator allows.
static double scrape_seconds(MHD_Connection* connection)
{
    const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                     "X-Prometheus-Scrape-Timeout-Seconds");
    if (header == nullptr)
        return exporter.scrape_timeout;
    char* end;
    double seconds = strtod(header, &end);
    if (end == header || *end != '\0' || !std::isfinite(seconds) || seconds <= 0)
        return exporter.scrape_timeout;
    seconds = seconds > 1 ? seconds - 0.5 : seconds / 2;
    if (seconds < shortest_scrape)
        seconds = shortest_scrape;
    return seconds < exporter.scrape_timeout ? seconds : exporter.scrape_timeout;
}

// libmicrohttpd's own timeout counts only silence, which a client that sends
// a byte now and then never lets run out. So each connection is watched here
// too: its request head must come whole within head_time of the
// connection's start (or of the answer before it, on a connection kept
// open), and its answer must have gone out within --scrape.timeout and
// answer_time of the head. One that does not is shut down; its thread
// then sees the end of the stream and closes it.
constexpr uint64_t one_second = 1000000000; // in nanoseconds
constexpr uint64_t head_time = 5 * one_second;
constexpr uint64_t answer_time = 10 * one_second;

struct watched_connection {
    bool used;
    int socket;
    uint64_t deadline; // monotonic nanoseconds; 0: already shut down
};
// Room for two servers' connections: the one that serves and one retired.
static watched_connection watched[2 * 1024];
static pthread_mutex_t watch_lock = PTHREAD_MUTEX_INITIALIZER;

static void set_deadline(watched_connection* entry, uint64_t nanoseconds)
{
    if (entry == nullptr)
        return;
    pthread_mutex_lock(&watch_lock);
    if (entry->deadline != 0)
        entry->deadline = monotonic_nanoseconds() + nanoseconds;
    pthread_mutex_unlock(&watch_lock);
}

static watched_connection* entry_of(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<watched_connection*>(info->socket_context) : nullptr;
}

// Called by the server's thread as a connection is accepted, and as it is
// done with one, before it closes its socket: a socket in the table is
// always the connection's own.
static void notify_connection(void*, MHD_Connection* connection, void** context,
                              MHD_ConnectionNotificationCode code)
{
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        pthread_mutex_lock(&watch_lock);
        if (*context != nullptr)
            static_cast<watched_connection*>(*context)->used = false;
        pthread_mutex_unlock(&watch_lock);
        *context = nullptr;
        return;
    }
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    pthread_mutex_lock(&watch_lock);
    for (watched_connection& entry : watched)
        if (!entry.used && info != nullptr) {
            entry = {true, info->connect_fd, monotonic_nanoseconds() + head_time};
            *context = &entry;
            break;
        }
    pthread_mutex_unlock(&watch_lock);
}

// The next request on a connection kept open has as long for its head.
static void request_completed(void*, MHD_Connection* connection, void**,
                              MHD_RequestTerminationCode)
{
    set_deadline(entry_of(connection), head_time);
}

static void shut_late_connections()
{
    uint64_t now = monotonic_nanoseconds();
    pthread_mutex_lock(&watch_lock);
    for (watched_connection& entry : watched)
        if (entry.used && entry.deadline != 0 && entry.deadline < now) {
            shutdown(entry.socket, SHUT_RDWR);
            entry.deadline = 0;
        }
    pthread_mutex_unlock(&watch_lock);
}

// Pages of the scrapes at once, kept for the next ones (see take_fleet).
static pthread_mutex_t spare_lock = PTHREAD_MUTEX_INITIALIZER;
static text_buffer spare_pages[64];
static int spare_count;

static text_buffer take_page()
{
    pthread_mutex_lock(&spare_lock);
    text_buffer page = spare_count > 0 ? spare_pages[--spare_count] : text_buffer{};
    pthread_mutex_unlock(&spare_lock);
    return page;
}

static void give_back(text_buffer* page)
{
    pthread_mutex_lock(&spare_lock);
    bool kept = spare_count < static_cast<int>(sizeof spare_pages / sizeof spare_pages[0]);
    if (kept)
        spare_pages[spare_count++] = *page;
    pthread_mutex_unlock(&spare_lock);
    if (!kept)
        free_text(page);
}

static MHD_Result send_metrics(MHD_Connection* connection)
{
    text_buffer page = take_page();
    MHD_Result queued;
    if (!scrape(&page, scrape_seconds(connection))) {
        char text[256];
        snprintf(text, sizeof text, "cannot list the NVMe controllers: %s\n", strerror(errno));
        queued = send_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, text);
    } else if (page.failed)
        queued = send_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    else
        queued = respond_compressed(connection, page);
    give_back(&page);
    return queued;
}

// libmicrohttpd calls this on a thread of the connection's own, so scrapes
// run at once, at most --web.max-connections of them.
static MHD_Result answer(void*, MHD_Connection* connection, const char* url, const char* method,
                         const char*, const char*, size_t*, void**)
{
    set_deadline(entry_of(connection),
                 static_cast<uint64_t>(exporter.scrape_timeout * one_second) + answer_time);
    MHD_Result refused;
    if (!admit_request(connection, &refused))
        return refused;
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

static MHD_Daemon* start_server(int listener)
{
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ITC;
    if (web_tls())
        flags |= MHD_USE_TLS;
    return MHD_start_daemon(
        flags, 0, nullptr, nullptr, &answer, nullptr,
        MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_CONNECTION_LIMIT, exporter.max_connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, exporter.max_connections_per_address,
        MHD_OPTION_CONNECTION_TIMEOUT, 10u,
        MHD_OPTION_NOTIFY_CONNECTION, &notify_connection, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, &request_completed, nullptr,
        // Holds the request head: a longer one gets 431.
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16 * 1024),
        MHD_OPTION_ARRAY, web_tls_options(),
        MHD_OPTION_END);
}

// New TLS material takes a new server on the same socket: the old one stops
// accepting at once and is stopped when its connections have had time to end.
static void renew_server(int listener, MHD_Daemon** daemon, MHD_Daemon** retired, time_t* retired_at)
{
    MHD_Daemon* fresh = start_server(listener);
    if (fresh == nullptr) {
        report("cannot start the HTTP server with the new TLS material; the old stays");
        return;
    }
    if (*retired != nullptr)
        MHD_stop_daemon(*retired);
    MHD_quiesce_daemon(*daemon);
    *retired = *daemon;
    *retired_at = time(nullptr);
    *daemon = fresh;
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
    MHD_Daemon* daemon = start_server(listener);
    if (daemon == nullptr) {
        report("cannot start the HTTP server");
        return 1;
    }
    // The web configuration is read again through the folders it was read
    // from at start, which stay open (see config_files.h).
    if (!enter_capability_mode()) {
        MHD_stop_daemon(daemon);
        return 1;
    }
    MHD_Daemon* retired = nullptr;
    time_t retired_at = 0;
    unsigned generation = web_tls_generation();
    for (;;) {
        // The web configuration is looked at every second even with no requests.
        timespec second{1, 0};
        int received = sigtimedwait(&stop, nullptr, &second);
        if (received == SIGTERM || received == SIGINT)
            break;
        shut_late_connections();
        refresh_web_config(false);
        if (web_tls_generation() != generation) {
            generation = web_tls_generation();
            renew_server(listener, &daemon, &retired, &retired_at);
        }
        if (retired != nullptr && time(nullptr) - retired_at > 15) {
            MHD_stop_daemon(retired);
            retired = nullptr;
        }
    }
    if (retired != nullptr)
        MHD_stop_daemon(retired);
    MHD_stop_daemon(daemon);
    close(listener);
    return 0;
}
