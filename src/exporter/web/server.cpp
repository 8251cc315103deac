// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/server.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <microhttpd.h>
#include <unistd.h>

#include "exporter/log.h"
#include "exporter/metrics.h"
#include "exporter/sandbox.h"
#include "exporter/scrape.h"
#include "exporter/stop_signals.h"
#include "exporter/web/admission.h"
#include "exporter/web/deadlines.h"
#include "exporter/web/gzip.h"
#include "exporter/web/respond.h"
#include "exporter/web/tls_options.h"
#include "exporter/webconfig/webconfig.h"

// What the request handlers need of the settings; set before the server starts.
static const exporter_settings* settings;

static const char index_page[] =
    "<!DOCTYPE html>\n<html><head><title>volscan-exporter</title></head>\n"
    "<body><h1>volscan-exporter</h1>\n"
    "<p>Statistics of the EBS volumes of this machine: <a href=\"%s\">%s</a></p>\n"
    "</body></html>\n";

// The least time a scrape may take whatever the client says: shorter ones
// would fail devices that answer in the usual few milliseconds and fill the
// log with their failing and answering again.
constexpr double shortest_scrape = 0.5;

// The time a scrape may take: what Prometheus says it waits, less a margin
// for rendering and sending the page; or --scrape.timeout, which is also the
// most a client may ask for, so that no client holds a connection and its
// thread longer than the operator allows.
double scrape_seconds(const char* header, double most)
{
    if (header == nullptr)
        return most;
    char* end;
    double seconds = strtod(header, &end);
    if (end == header || *end != '\0' || !std::isfinite(seconds) || seconds <= 0)
        return most;
    seconds = seconds > 1 ? seconds - 0.5 : seconds / 2;
    if (seconds < shortest_scrape)
        seconds = shortest_scrape;
    return seconds < most ? seconds : most;
}

static double scrape_seconds(MHD_Connection* connection)
{
    return scrape_seconds(MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                      "X-Prometheus-Scrape-Timeout-Seconds"),
                          settings->scrape_timeout);
}

// The page, gzipped where the client takes it; either way caches keep the
// two apart.
static MHD_Result send_page(MHD_Connection* connection, scrape_room* room)
{
    bool gzip = accepts_gzip(
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING));
    if (gzip && !gzip_text(room->page.data, room->page.used, &room->packed))
        return respond_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    const text_buffer& body = gzip ? room->packed : room->page;
    MHD_Response* response =
        MHD_create_response_from_buffer(body.used, body.data, MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, metrics_content_type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (gzip)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    add_web_headers(response);
    MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

static MHD_Result send_metrics(MHD_Connection* connection)
{
    scrape_room* room = take_scrape_room();
    if (room == nullptr)
        return respond_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    MHD_Result queued;
    if (!scrape(&room->readings, scrape_seconds(connection))) {
        char text[256];
        snprintf(text, sizeof text, "cannot list the NVMe controllers: %s\n", strerror(errno));
        queued = respond_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, text);
    } else {
        render_metrics(room->readings, &room->page);
        queued = room->page.failed
            ? respond_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n")
            : send_page(connection, room);
    }
    give_scrape_room(room);
    return queued;
}

// libmicrohttpd calls this on a thread of the connection's own, so scrapes
// run at once, at most --web.max-connections of them.
static MHD_Result handle_request(void*, MHD_Connection* connection, const char* url,
                                 const char* method, const char*, const char*, size_t*, void**)
{
    answer_deadline(connection,
                    static_cast<uint64_t>(settings->scrape_timeout * one_second) + answer_time);
    MHD_Result refused;
    if (!admit_request(connection, &refused))
        return refused;
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return respond_text(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed\n");
    if (strcmp(url, settings->telemetry_path) == 0)
        return send_metrics(connection);
    if (strcmp(url, "/") == 0) {
        char text[sizeof index_page + 2048];
        int length = snprintf(text, sizeof text, index_page, settings->telemetry_path,
                              settings->telemetry_path);
        if (length < 0 || static_cast<size_t>(length) >= sizeof text)
            return MHD_NO;
        return respond(connection, MHD_HTTP_OK, "text/html; charset=utf-8", text, length);
    }
    return respond_text(connection, MHD_HTTP_NOT_FOUND, "Not Found\n");
}

// A server and the set of TLS options it was started with.
struct running_server {
    MHD_Daemon* daemon;
    int options;
};

static MHD_Daemon* start_server(int listener, int options)
{
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ITC;
    if (web_tls())
        flags |= MHD_USE_TLS;
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &handle_request, nullptr,
        MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_CONNECTION_LIMIT, settings->max_connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, settings->max_connections_per_address,
        MHD_OPTION_CONNECTION_TIMEOUT, 10u,
        MHD_OPTION_NOTIFY_CONNECTION, &watch_connection, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, &request_completed, nullptr,
        // Holds the request head: a longer one gets 431.
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16 * 1024),
        MHD_OPTION_ARRAY, web_tls_options(options),
        MHD_OPTION_END);
    if (daemon == nullptr)
        drop_tls_options(options);
    return daemon;
}

// Stops a server; its copy of the TLS key goes with it.
static void stop_server(running_server* server)
{
    if (server->daemon == nullptr)
        return;
    MHD_stop_daemon(server->daemon);
    drop_tls_options(server->options);
    server->daemon = nullptr;
}

// New TLS material takes a new server on the same socket: the old one stops
// accepting at once and is stopped when its connections have ended, or have
// had time to. False when the new server did not start: the old one serves on.
static bool renew_server(int listener, running_server* serving, running_server* retired,
                         time_t* retired_at)
{
    // The retired server's options are the set the new one takes.
    stop_server(retired);
    int options = serving->options ^ 1;
    MHD_Daemon* fresh = start_server(listener, options);
    if (fresh == nullptr)
        return false;
    MHD_quiesce_daemon(serving->daemon);
    *retired = *serving;
    *retired_at = time(nullptr);
    *serving = running_server{fresh, options};
    return true;
}

// Whether a retired server is done: its connections all ended, or given 15 s.
static bool retired_done(const running_server& retired, time_t retired_at)
{
    const MHD_DaemonInfo* info =
        MHD_get_daemon_info(retired.daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return (info != nullptr && info->num_connections == 0) || time(nullptr) - retired_at > 15;
}

int serve_http(int listener, const exporter_settings& run)
{
    settings = &run;
    signal(SIGPIPE, SIG_IGN);
    set_connection_bounds(run.max_connections, run.max_connections_per_address,
                          run.ipv6_prefix_length);
    running_server serving{start_server(listener, 0), 0}, retired{nullptr, 1};
    if (serving.daemon == nullptr) {
        log_message("cannot start the HTTP server");
        return 1;
    }
    // The deadlines are kept by a thread of their own, so that a reload or a
    // server that takes its time to stop holds none of them up.
    if (!start_deadline_thread()) {
        log_message("cannot start the HTTP server: no thread for the connections' deadlines");
        stop_server(&serving);
        return 1;
    }
    // The web configuration is read again through the folders it was read
    // from at start, which stay open (see webconfig/files.h).
    int status = 0;
    if (!enter_capability_mode())
        status = 1;
    time_t retired_at = 0;
    unsigned generation = web_tls_generation();
    bool told = false; // that the new TLS material did not start, once for each change
    // The web configuration is looked at every second even with no requests.
    while (status == 0 && !stop_signal_within(one_second)) {
        refresh_admission(false);
        if (web_config_lost()) {
            status = 1;
            break;
        }
        unsigned now = web_tls_generation();
        // The generation counts as served only once a server runs with it:
        // one that did not start is tried again at the next look.
        if (now != generation) {
            if (renew_server(listener, &serving, &retired, &retired_at)) {
                if (told)
                    log_message("the HTTP server started with the new TLS material");
                generation = now;
                told = false;
            } else if (!told) {
                log_message("cannot start the HTTP server with the new TLS material; the old "
                            "serves on, and it is tried again every second");
                told = true;
            }
        }
        if (retired.daemon != nullptr && retired_done(retired, retired_at))
            stop_server(&retired);
    }
    stop_server(&retired);
    stop_server(&serving);
    stop_deadline_thread();
    close(listener);
    return status;
}
