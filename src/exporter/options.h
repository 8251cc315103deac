// SPDX-License-Identifier: BSD-2-Clause
// The exporter's command line, in the style of Prometheus exporters.
#pragma once

#include "exporter/metrics.h"

// The settings of a run, handed to each part that needs them.
struct exporter_settings {
    const char* listen_address;  // [host]:port, as given
    char listen_host[256];       // its host: "" for every address
    char listen_port[6];
    const char* telemetry_path;  // where the metrics are served
    unsigned max_connections;
    unsigned max_connections_per_address; // 0 until parsed: a quarter of max_connections
    const char* web_config_file; // TLS and users; null: plain HTTP, open to all
    const char* web_user;        // the metrics side's user when started as root
    const char* textfile_output; // set: write this file instead of serving HTTP
    unsigned textfile_interval;  // seconds between writes; 0: write once
    double scrape_timeout;       // seconds a scrape waits when the scraper does not say
    unsigned scrape_threads;     // devices read at once
    unsigned ipv6_prefix_length; // the bits of an IPv6 address that name one client
    latency_buckets bucket_bounds; // none: every bin of the device
};

extern const char exporter_usage[];

// Fills settings from the command line. --help and --version print and end
// the process with status 0; any misuse ends it with a diagnostic and status 1.
void parse_exporter_options(int argc, char** argv, exporter_settings* settings);

// [host]:port into its host and port, where host may be empty, a name, an
// IPv4 address or an IPv6 address in brackets, and port is a number from 1
// to 65535. False for anything else.
bool split_listen_address(const char* address, char (&host)[256], char (&port)[6]);
