// SPDX-License-Identifier: BSD-2-Clause
// The reports of mode "top": one block of text per interval (redrawn in place
// on a terminal), or one JSON object per line.
#pragma once

#include <cstdint>

#include "identity/volume_identity.h"
#include "stats/interval.h"
#include "stats/log_page.h"

enum class row_state {
    measured,  // rates holds the interval
    failed,    // the sample failed: failure says why
    restarted, // the counters went back: a new baseline, no figures
};

struct top_row {
    char device[64];       // as the user knows it: nvme1n1, a multipath head, an operand
    volume_identity identity;
    row_state state;
    char failure[128];
    interval_rates rates;
    ebs_stats_log delta;   // the interval's differences, for the latency bars
};

struct top_report {
    int64_t wall_seconds;  // when the interval ended, on the wall clock
    long wall_nanoseconds;
    double seconds;        // the interval, measured on the monotonic clock
    const top_row* const* rows;
    int count;
    bool terminal;         // redraw in place with ANSI sequences, highlight throttling
    bool bars;             // the latency distributions under each row
    int width;             // of the terminal: columns drop until the table fits; 0, no limit
};

// Busiest first: by read and write operations per second; rows without
// figures last. Stable.
void order_by_activity(const top_row** rows, int count);

void print_top_text(const top_report& report);
void print_top_json(const top_report& report);
