// SPDX-License-Identifier: BSD-2-Clause
#include "stats/log_page.h"

#include <cstring>

#include "nvme/log_page.h"

static void from_le(uint32_t* value)
{
    uint8_t bytes[4];
    memcpy(bytes, value, sizeof bytes);
    *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8
        | static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

static void from_le(uint64_t* value)
{
    uint8_t bytes[8];
    memcpy(bytes, value, sizeof bytes);
    uint64_t host = 0;
    for (int i = 7; i >= 0; i--)
        host = host << 8 | bytes[i];
    *value = host;
}

static void histogram_from_le(latency_histogram* histogram)
{
    from_le(&histogram->num_bins);
    for (histogram_bin& bin : histogram->bins) {
        from_le(&bin.lower);
        from_le(&bin.upper);
        from_le(&bin.count);
    }
}

void stats_log_from_le(ebs_stats_log* page)
{
    from_le(&page->magic);
    for (uint64_t ebs_stats_log::*counter : cumulative_counters)
        from_le(&(page->*counter));
    from_le(&page->volume_queue_length);
    histogram_from_le(&page->read_io_latency_histogram);
    histogram_from_le(&page->write_io_latency_histogram);
}

stats_outcome fetch_stats_log(int descriptor, ebs_stats_log* page)
{
    memset(page, 0, sizeof *page);
    // Log identifier 0xD0: the whole page, 1024 words.
    switch (get_log_page(descriptor, 1, 0xD0, page, sizeof *page)) {
    case admin_outcome::request_failed:
        return stats_outcome::request_failed;
    case admin_outcome::completion_error:
        return stats_outcome::completion_error;
    case admin_outcome::success:
        break;
    }
    stats_log_from_le(page);
    return page->magic == ebs_stats_magic ? stats_outcome::success : stats_outcome::not_ebs;
}
