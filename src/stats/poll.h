// SPDX-License-Identifier: BSD-2-Clause
// Polling one device: its pages one after another, and the differences
// between the last two.
#pragma once

#include <cstdint>

#include "stats/log_page.h"

// delta = current less previous for the cumulative counters (modulo 2^64) and
// for all 64 bin counts of both histograms (modulo 2^32); every other field,
// the queue length, bin counts in use and bin bounds among them, is current's.
void stats_delta(const ebs_stats_log& current, const ebs_stats_log& previous,
                 ebs_stats_log* delta);

// The pages of a device polled at intervals; big enough to live in static
// storage rather than on a stack.
struct stats_series {
    ebs_stats_log current;
    ebs_stats_log previous;
    ebs_stats_log delta; // current less previous, once there are two
};

// The first page of the series, in current.
stats_outcome start_series(int descriptor, stats_series* series);

// The next page: current becomes previous, the new page current, and delta
// their difference. On failure current and delta mean nothing.
stats_outcome advance_series(int descriptor, stats_series* series);
