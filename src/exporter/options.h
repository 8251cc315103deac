// SPDX-License-Identifier: BSD-2-Clause
// The exporter's command line, in the style of Prometheus exporters.
#pragma once

// Process-wide settings.
struct exporter_settings {
    const char* listen_address;  // [host]:port
    const char* telemetry_path;  // where the metrics are served
    unsigned max_connections;
    unsigned max_connections_per_address; // 0 until parsed: a quarter of max_connections
    const char* web_config_file; // TLS and users; null: plain HTTP, open to all
    const char* web_user;        // the HTTP side's user when started as root
    const char* textfile_output; // set: write this file instead of serving HTTP
    unsigned textfile_interval;  // seconds between writes; 0: write once
    double scrape_timeout;       // seconds a scrape waits when the scraper does not say
    unsigned scrape_threads;     // devices read at once
};

extern exporter_settings exporter;

extern const char exporter_usage[];

// Fills exporter from the command line. --help and --version print and end
// the process with status 0; any misuse ends it with a diagnostic and status 1.
void parse_exporter_options(int argc, char** argv);

// Prints "volscan-exporter: message" on standard error.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
