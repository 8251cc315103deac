// The body of mode "stats": one report, or polling with per-interval differences.
#pragma once

#include "stats/log_page.h"

// delta = current less previous for the cumulative counters (modulo 2^64) and
// for all 64 bin counts of both histograms (modulo 2^32); every other field,
// the queue length, bin counts in use and bin bounds among them, is current's.
void stats_delta(const ebs_stats_log& current, const ebs_stats_log& previous,
                 ebs_stats_log* delta);

// Returns only when no interval was given; otherwise polls until a signal or a
// failed sample ends the process.
void run_stats(int descriptor, const char* device_name);
