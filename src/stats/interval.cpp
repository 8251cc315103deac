// SPDX-License-Identifier: BSD-2-Clause
#include "stats/interval.h"

#include <ctime>

uint32_t bin_difference(uint32_t now, uint32_t before) { return now - before; }

uint64_t monotonic_nanoseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

bool counters_went_back(const ebs_stats_log& now, const ebs_stats_log& before)
{
    for (uint64_t ebs_stats_log::*counter : cumulative_counters)
        if (now.*counter < before.*counter)
            return true;
    return false;
}

latency_quantile histogram_quantile(double q, const latency_histogram& interval)
{
    int bins = interval.num_bins < histogram_bins ? static_cast<int>(interval.num_bins)
                                                  : histogram_bins;
    uint64_t total = 0;
    for (int i = 0; i < bins; i++)
        total += interval.bins[i].count;
    if (total == 0)
        return {false, false, 0};
    double rank = q * static_cast<double>(total);
    uint64_t cumulative = 0;      // up to the bucket being looked at
    uint64_t bucket_start_count = 0;
    double bucket_start = 0;      // the previous bucket's upper bound
    bool any_bucket = false;
    for (int i = 0; i < bins; i++) {
        const histogram_bin& bin = interval.bins[i];
        if (bin.upper == open_upper_bound)
            return {true, true, static_cast<double>(bin.lower)};
        cumulative += bin.count;
        double upper = static_cast<double>(bin.upper);
        if (any_bucket && upper <= bucket_start)
            continue;
        if (static_cast<double>(cumulative) >= rank) {
            if (!any_bucket && upper <= 0)
                return {true, false, upper};
            double count = static_cast<double>(cumulative - bucket_start_count);
            double within = rank - static_cast<double>(bucket_start_count);
            return {true, false, bucket_start + (upper - bucket_start) * (within / count)};
        }
        any_bucket = true;
        bucket_start = upper;
        bucket_start_count = cumulative;
    }
    // Beyond every bin with an upper bound: what Prometheus's +Inf bucket answers.
    return {true, true, bucket_start};
}

static void direction(uint64_t ops, uint64_t bytes, uint64_t microseconds,
                      const latency_histogram& histogram, double seconds, direction_rates* rates)
{
    rates->ops_per_second = static_cast<double>(ops) / seconds;
    rates->bytes_per_second = static_cast<double>(bytes) / seconds;
    rates->has_mean = ops != 0;
    rates->mean_microseconds = ops ? static_cast<double>(microseconds) / static_cast<double>(ops) : 0;
    for (int i = 0; i < shown_quantiles; i++)
        rates->quantiles[i] = histogram_quantile(quantile_levels[i], histogram);
}

void compute_interval(const ebs_stats_log& delta, double seconds, interval_rates* rates)
{
    rates->seconds = seconds;
    direction(delta.total_read_ops, delta.total_read_bytes, delta.total_read_time,
              delta.read_io_latency_histogram, seconds, &rates->read);
    direction(delta.total_write_ops, delta.total_write_bytes, delta.total_write_time,
              delta.write_io_latency_histogram, seconds, &rates->write);
    rates->queue_length = delta.volume_queue_length;
    const uint64_t exceeded[limits] = {delta.ebs_volume_performance_exceeded_iops,
                                       delta.ebs_volume_performance_exceeded_tp,
                                       delta.ec2_instance_ebs_performance_exceeded_iops,
                                       delta.ec2_instance_ebs_performance_exceeded_tp};
    for (int i = 0; i < limits; i++)
        rates->exceeded_share[i] = static_cast<double>(exceeded[i]) / 1e6 / seconds;
}
