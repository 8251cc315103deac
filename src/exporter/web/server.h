// SPDX-License-Identifier: BSD-2-Clause
// The HTTP server of the metrics side: the metrics, the index page and
// nothing else, on a socket opened before.
#pragma once

#include "exporter/options.h"

// Serves on listener until SIGTERM or SIGINT (held before). Returns the
// process's exit status.
int serve_http(int listener, const exporter_settings& settings);

// The time a scrape may take when the request's X-Prometheus-Scrape-Timeout-Seconds
// header is header (null without one), with most the --scrape.timeout.
double scrape_seconds(const char* header, double most);
