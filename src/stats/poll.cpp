// SPDX-License-Identifier: BSD-2-Clause
#include "stats/poll.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "stats/interval.h"
#include "stats/render.h"

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

// False when the report did not get out: polling into a full disk or a
// closed pipe would otherwise go on unseen for ever.
static bool render(const ebs_stats_log& page, bool json_output)
{
    if (json_output)
        print_stats_json(page);
    else
        print_stats_text(page);
    return fflush(stdout) == 0 && !ferror(stdout);
}

stats_outcome run_stats(int descriptor, uint64_t interval, bool json_output)
{
    static ebs_stats_log current;
    static ebs_stats_log previous;
    static ebs_stats_log delta;

    if (interval != 0)
        printf("Polling EBS stats every %" PRIu64 " sec(s); press Ctrl+C to stop\n", interval);
    stats_outcome outcome = fetch_stats_log(descriptor, &current);
    if (outcome != stats_outcome::success)
        return outcome;
    if (!render(current, json_output))
        return stats_outcome::output_failed;
    while (interval != 0) {
        sleep(static_cast<unsigned>(interval));
        memcpy(&previous, &current, sizeof previous);
        outcome = fetch_stats_log(descriptor, &current);
        if (outcome != stats_outcome::success)
            return outcome;
        stats_delta(current, previous, &delta);
        fputs("\n\n", stdout);
        if (!render(delta, json_output))
            return stats_outcome::output_failed;
    }
    return stats_outcome::success;
}
