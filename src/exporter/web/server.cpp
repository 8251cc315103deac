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

static MHD_Daemon* start_server(int listener)
{
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ITC;
    if (web_tls())
        flags |= MHD_USE_TLS;
    return MHD_start_daemon(
        flags, 0, nullptr, nullptr, &handle_request, nullptr,
        MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_CONNECTION_LIMIT, settings->max_connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, settings->max_connections_per_address,
        MHD_OPTION_CONNECTION_TIMEOUT, 10u,
        MHD_OPTION_NOTIFY_CONNECTION, &watch_connection, nullptr,
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
        log_message("cannot start the HTTP server with the new TLS material; the old stays");
        return;
    }
    if (*retired != nullptr)
        MHD_stop_daemon(*retired);
    MHD_quiesce_daemon(*daemon);
    *retired = *daemon;
    *retired_at = time(nullptr);
    *daemon = fresh;
}

int serve_http(int listener, const exporter_settings& run)
{
    settings = &run;
    signal(SIGPIPE, SIG_IGN);
    MHD_Daemon* daemon = start_server(listener);
    if (daemon == nullptr) {
        log_message("cannot start the HTTP server");
        return 1;
    }
    // The web configuration is read again through the folders it was read
    // from at start, which stay open (see webconfig/files.h).
    if (!enter_capability_mode()) {
        MHD_stop_daemon(daemon);
        return 1;
    }
    MHD_Daemon* retired = nullptr;
    time_t retired_at = 0;
    unsigned generation = web_tls_generation();
    // The web configuration is looked at every second even with no requests.
    while (!stop_signal_within(one_second)) {
        shut_late_connections();
        refresh_admission(false);
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
