// SPDX-License-Identifier: BSD-2-Clause
#include "cli/stats_mode.h"

#include <cinttypes>
#include <cstdio>
#include <unistd.h>

#include "cli/stats_report.h"
#include "stats/poll.h"

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
    static stats_series series;

    if (interval != 0)
        printf("Polling EBS stats every %" PRIu64 " sec(s); press Ctrl+C to stop\n", interval);
    stats_outcome outcome = start_series(descriptor, &series);
    if (outcome != stats_outcome::success)
        return outcome;
    if (!render(series.current, json_output))
        return stats_outcome::output_failed;
    while (interval != 0) {
        sleep(static_cast<unsigned>(interval));
        outcome = advance_series(descriptor, &series);
        if (outcome != stats_outcome::success)
            return outcome;
        fputs("\n\n", stdout);
        if (!render(series.delta, json_output))
            return stats_outcome::output_failed;
    }
    return stats_outcome::success;
}
