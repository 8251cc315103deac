// SPDX-License-Identifier: BSD-2-Clause
#include "stats/poll.h"

#include <cstring>

#include "stats/interval.h"

static void histogram_delta(const latency_histogram& current, const latency_histogram& previous,
                            latency_histogram* delta)
{
    for (int i = 0; i < histogram_bins; i++)
        delta->bins[i].count = bin_difference(current.bins[i].count, previous.bins[i].count);
}

void stats_delta(const ebs_stats_log& current, const ebs_stats_log& previous,
                 ebs_stats_log* delta)
{
    memcpy(delta, &current, sizeof *delta);
    for (uint64_t ebs_stats_log::*counter : cumulative_counters)
        delta->*counter = current.*counter - previous.*counter;
    histogram_delta(current.read_io_latency_histogram, previous.read_io_latency_histogram,
                    &delta->read_io_latency_histogram);
    histogram_delta(current.write_io_latency_histogram, previous.write_io_latency_histogram,
                    &delta->write_io_latency_histogram);
}

stats_outcome start_series(int descriptor, stats_series* series)
{
    return fetch_stats_log(descriptor, &series->current);
}

stats_outcome advance_series(int descriptor, stats_series* series)
{
    memcpy(&series->previous, &series->current, sizeof series->previous);
    stats_outcome outcome = fetch_stats_log(descriptor, &series->current);
    if (outcome == stats_outcome::success)
        stats_delta(series->current, series->previous, &series->delta);
    return outcome;
}
