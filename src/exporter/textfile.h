// SPDX-License-Identifier: BSD-2-Clause
// node_exporter's text-file collector: the metrics page written to a file.
#pragma once

#include "exporter/text_buffer.h"

// Replaces path with the page at once: the page goes to a new file in the same
// folder, which is then renamed over path, so that a reader sees the old file
// or the new one, never a part. Returns false after a diagnostic.
bool write_textfile(const char* path, const text_buffer& page);

// Writes the file once, or every interval seconds until SIGTERM or SIGINT,
// each scrape waiting for the devices at most seconds. Returns the process's
// exit status.
int run_textfile(const char* path, unsigned interval, double seconds);
