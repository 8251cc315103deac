// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/readings.h"
#include "stats/interval.h"

#include <cstring>

static bool same_volume(const controller_reading& reading, const controller_reading& previous)
{
    return previous.has_totals && strcmp(reading.identity.serial, previous.identity.serial) == 0
        && strcmp(reading.device, previous.device) == 0;
}

static bool same_bins(const latency_histogram& now, const latency_histogram& before)
{
    if (now.num_bins != before.num_bins)
        return false;
    for (int i = 0; i < histogram_bins; i++)
        if (now.bins[i].lower != before.bins[i].lower || now.bins[i].upper != before.bins[i].upper)
            return false;
    return true;
}

static void start_totals(const latency_histogram& histogram, uint64_t* totals)
{
    for (int i = 0; i < histogram_bins; i++)
        totals[i] = histogram.bins[i].count;
}

static void add_differences(const latency_histogram& now, const latency_histogram& before,
                            uint64_t* totals)
{
    for (int i = 0; i < histogram_bins; i++)
        totals[i] += bin_difference(now.bins[i].count, before.bins[i].count);
}

void carry_totals(controller_reading* reading, const ebs_stats_log& page,
                  const controller_reading* previous)
{
    if (previous && same_volume(*reading, *previous)
        && same_bins(page.read_io_latency_histogram, previous->page.read_io_latency_histogram)
        && same_bins(page.write_io_latency_histogram, previous->page.write_io_latency_histogram)
        && !counters_went_back(page, previous->page)) {
        memcpy(reading->read_totals, previous->read_totals, sizeof reading->read_totals);
        memcpy(reading->write_totals, previous->write_totals, sizeof reading->write_totals);
        add_differences(page.read_io_latency_histogram, previous->page.read_io_latency_histogram,
                        reading->read_totals);
        add_differences(page.write_io_latency_histogram,
                        previous->page.write_io_latency_histogram, reading->write_totals);
    } else {
        start_totals(page.read_io_latency_histogram, reading->read_totals);
        start_totals(page.write_io_latency_histogram, reading->write_totals);
    }
    memcpy(&reading->page, &page, sizeof page);
    reading->has_stats = true;
    reading->has_totals = true;
}

void keep_totals(controller_reading* reading, const controller_reading* previous)
{
    if (previous == nullptr || !same_volume(*reading, *previous))
        return;
    memcpy(&reading->page, &previous->page, sizeof reading->page);
    memcpy(reading->read_totals, previous->read_totals, sizeof reading->read_totals);
    memcpy(reading->write_totals, previous->write_totals, sizeof reading->write_totals);
    reading->has_totals = true;
}
