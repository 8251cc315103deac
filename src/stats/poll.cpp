#include "stats/poll.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "cli/diag.h"
#include "cli/options.h"
#include "stats/render.h"

static void histogram_delta(const latency_histogram& current, const latency_histogram& previous,
                            latency_histogram* delta)
{
    for (int i = 0; i < histogram_bins; i++)
        delta->bins[i].count = current.bins[i].count - previous.bins[i].count;
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

static void render(const ebs_stats_log& page)
{
    if (settings.json_output)
        print_stats_json(page);
    else
        print_stats_text(page);
    // Polling into a full disk or a closed pipe would go on unseen for ever.
    check_stdout();
}

void run_stats(int descriptor, const char* device_name)
{
    static ebs_stats_log current;
    static ebs_stats_log previous;
    static ebs_stats_log delta;

    if (settings.interval != 0)
        printf("Polling EBS stats every %" PRIu64 " sec(s); press Ctrl+C to stop\n",
               settings.interval);
    fetch_stats_log(descriptor, device_name, &current);
    render(current);
    while (settings.interval != 0) {
        sleep(static_cast<unsigned>(settings.interval));
        memcpy(&previous, &current, sizeof previous);
        fetch_stats_log(descriptor, device_name, &current);
        stats_delta(current, previous, &delta);
        fputs("\n\n", stdout);
        render(delta);
    }
}
