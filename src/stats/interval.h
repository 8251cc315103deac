// SPDX-License-Identifier: BSD-2-Clause
// What happened to a volume between two samples of its statistics page: the
// rates, latencies and throttled shares that a front end shows for one
// interval, and the histogram quantiles behind them.
#pragma once

#include <cstdint>

#include "stats/stats_log.h"

// The device counts each bin in 32 bits, which wrap: the difference is taken
// modulo 2^32, right as long as a bin does not wrap twice between samples.
uint32_t bin_difference(uint32_t now, uint32_t before);

// The 64-bit counters do not wrap in a volume's life: one going back means the
// device started counting again (the volume was attached again).
bool counters_went_back(const ebs_stats_log& now, const ebs_stats_log& before);

// A bin whose upper bound is the largest value the field holds has no real
// upper bound: it plays Prometheus's +Inf bucket.
constexpr uint64_t open_upper_bound = UINT64_MAX;

struct latency_quantile {
    bool defined;        // false when the histogram holds no operation
    bool above;          // the quantile lies in the open bin: it exceeds microseconds
    double microseconds; // the quantile, or the open bin's lower bound
};

// The q-quantile (0 < q <= 1) of a histogram of one interval's counts, as
// Prometheus's histogram_quantile answers it for buckets le = each bin's
// upper bound: linear interpolation inside the bucket from the previous
// bucket's upper bound (0 for the first). A bin whose upper bound is not above
// the one before has no bucket of its own and counts in the next one.
latency_quantile histogram_quantile(double q, const latency_histogram& interval);

constexpr int shown_quantiles = 3;
constexpr double quantile_levels[shown_quantiles] = {0.5, 0.9, 0.99};

struct direction_rates {
    double ops_per_second;
    double bytes_per_second;
    bool has_mean;           // false when the interval had no operation
    double mean_microseconds;
    latency_quantile quantiles[shown_quantiles];
};

enum limit_index { volume_iops, volume_throughput, instance_iops, instance_throughput, limits };

struct interval_rates {
    double seconds;
    direction_rates read;
    direction_rates write;
    uint64_t queue_length;          // at the end of the interval
    double exceeded_share[limits];  // share of the interval, 0 to 1 (and beyond if the device says so)
};

// Now on the monotonic clock, in nanoseconds: intervals are measured on it,
// never on the wall clock, which may be set back or forth meanwhile.
uint64_t monotonic_nanoseconds();

// The figures of one interval from its differences (stats_delta) and its
// length measured on the monotonic clock.
void compute_interval(const ebs_stats_log& delta, double seconds, interval_rates* rates);
