// SPDX-License-Identifier: BSD-2-Clause
// The running totals of the bin counts and the text of the page, without a
// device: readings made by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "exporter/readings.h"
#include "exporter/metrics.h"

namespace {

ebs_stats_log page_with(uint64_t read_ops, uint32_t bin_count, uint64_t upper = 100)
{
    ebs_stats_log page{};
    page.total_read_ops = read_ops;
    page.read_io_latency_histogram.num_bins = 1;
    page.read_io_latency_histogram.bins[0] = {0, upper, bin_count, 0};
    page.write_io_latency_histogram.bins[5].count = bin_count; // beyond num_bins: kept all the same
    return page;
}

controller_reading reading_of(const char* serial)
{
    controller_reading reading{};
    strcpy(reading.controller, "nvme0");
    strcpy(reading.device, "nvme0n1");
    strcpy(reading.identity.serial, serial);
    strcpy(reading.identity.volume_id, "vol-1");
    reading.identified = reading.is_ebs = true;
    return reading;
}

// One scrape: the page that the device gave, or a failed request.
struct sample {
    const char* serial;
    uint64_t read_ops;
    uint32_t bin_count;
    uint64_t upper;
    bool failed;
};

TEST(carry_totals, sequences_of_samples)
{
    struct row {
        const char* name;
        std::vector<sample> samples;
        std::vector<uint64_t> totals; // bin 0's total after each sample
    } rows[] = {
        {"first sample starts from the device's count", {{"vol1", 5, 7, 100, false}}, {7}},
        {"growth", {{"vol1", 5, 7, 100, false}, {"vol1", 6, 10, 100, false}}, {7, 10}},
        {"wrap past 2^32",
         {{"vol1", 5, 4294967290u, 100, false}, {"vol1", 6, 4, 100, false},
          {"vol1", 7, 4294967295u, 100, false}, {"vol1", 8, 0, 100, false}},
         {4294967290u, 4294967300u, 8589934591u, 8589934592u}},
        {"a failed request keeps the history",
         {{"vol1", 5, 4294967290u, 100, false}, {"vol1", 0, 0, 0, true}, {"vol1", 6, 4, 100, false}},
         {4294967290u, 4294967290u, 4294967300u}},
        {"counters that go back: attached again",
         {{"vol1", 5, 4294967290u, 100, false}, {"vol1", 4, 4, 100, false}}, {4294967290u, 4}},
        {"another volume on the same controller",
         {{"vol1", 5, 4294967290u, 100, false}, {"vol2", 6, 4, 100, false}}, {4294967290u, 4}},
        {"bins with other bounds",
         {{"vol1", 5, 4294967290u, 100, false}, {"vol1", 6, 4, 200, false}}, {4294967290u, 4}},
        {"another volume after a failure",
         {{"vol1", 5, 4294967290u, 100, false}, {"vol2", 0, 0, 0, true}, {"vol2", 6, 4, 100, false}},
         {4294967290u, 0, 4}},
    };
    for (const row& r : rows) {
        controller_reading previous{};
        bool have_previous = false;
        for (size_t i = 0; i < r.samples.size(); i++) {
            const sample& s = r.samples[i];
            controller_reading reading = reading_of(s.serial);
            if (s.failed)
                keep_totals(&reading, have_previous ? &previous : nullptr);
            else
                carry_totals(&reading, page_with(s.read_ops, s.bin_count, s.upper),
                             have_previous ? &previous : nullptr);
            uint64_t total = reading.has_totals ? reading.read_totals[0] : 0;
            EXPECT_EQ(total, r.totals[i]) << r.name << ", sample " << i;
            EXPECT_EQ(reading.has_totals ? reading.write_totals[5] : 0, r.totals[i])
                << r.name << ", sample " << i;
            EXPECT_EQ(reading.has_stats, !s.failed);
            previous = reading;
            have_previous = true;
        }
    }
}

std::string render(const controller_reading& reading)
{
    static scrape_readings readings;
    readings.count = 1;
    readings.readings[0] = reading;
    text_buffer out{};
    render_metrics(readings, &out);
    std::string text(out.data, out.used);
    free_text(&out);
    return text;
}

std::string lines_of(const std::string& page, const std::string& prefix)
{
    std::string found;
    size_t at = 0;
    while (at < page.size()) {
        size_t end = page.find('\n', at) + 1;
        if (page.compare(at, prefix.size(), prefix) == 0)
            found += page.substr(at, end - at);
        at = end;
    }
    return found;
}

TEST(render_metrics, microseconds_become_exact_seconds)
{
    struct row {
        uint64_t microseconds;
        const char* seconds;
    } rows[] = {
        {0, "0"},
        {1, "0.000001"},
        {1500000, "1.5"},
        {120000000, "120"},
        {18446744073709551615u, "18446744073709.551615"},
    };
    for (const row& r : rows) {
        controller_reading reading = reading_of("vol1");
        carry_totals(&reading, page_with(1, 1), nullptr);
        reading.page.total_write_time = r.microseconds;
        EXPECT_EQ(lines_of(render(reading), "ebs_write_seconds_total{"),
                  std::string("ebs_write_seconds_total{volume_id=\"vol-1\",device=\"nvme0n1\"} ")
                      + r.seconds + "\n");
    }
}

TEST(render_metrics, buckets_need_rising_bounds)
{
    controller_reading reading = reading_of("vol1");
    ebs_stats_log page{};
    page.total_read_time = 2500;
    page.read_io_latency_histogram.num_bins = 5;
    // The second and third bins do not rise above the first: their counts go
    // to the next bucket that does. A sixth bin is beyond num_bins.
    const histogram_bin bins[] = {{0, 100, 1, 0}, {100, 100, 2, 0}, {50, 80, 4, 0},
                                  {100, 300, 8, 0}, {300, 1000000, 16, 0}, {0, 2000000, 32, 0}};
    memcpy(page.read_io_latency_histogram.bins, bins, sizeof bins);
    carry_totals(&reading, page, nullptr);
    EXPECT_EQ(lines_of(render(reading), "ebs_read_latency_seconds_"),
              "ebs_read_latency_seconds_bucket{volume_id=\"vol-1\",device=\"nvme0n1\",le=\"0.0001\"} 1\n"
              "ebs_read_latency_seconds_bucket{volume_id=\"vol-1\",device=\"nvme0n1\",le=\"0.0003\"} 15\n"
              "ebs_read_latency_seconds_bucket{volume_id=\"vol-1\",device=\"nvme0n1\",le=\"1\"} 31\n"
              "ebs_read_latency_seconds_bucket{volume_id=\"vol-1\",device=\"nvme0n1\",le=\"+Inf\"} 31\n"
              "ebs_read_latency_seconds_sum{volume_id=\"vol-1\",device=\"nvme0n1\"} 0.0025\n"
              "ebs_read_latency_seconds_count{volume_id=\"vol-1\",device=\"nvme0n1\"} 31\n");
}

// A bin without a real upper bound counts in +Inf alone: a finite le for it
// would have histogram_quantile interpolate across 584,542 years.
TEST(render_metrics, an_open_last_bin_is_the_inf_bucket)
{
    controller_reading reading = reading_of("vol1");
    ebs_stats_log page{};
    page.read_io_latency_histogram.num_bins = 2;
    const histogram_bin bins[] = {{0, 100, 1, 0}, {100, 18446744073709551615u, 2, 0}};
    memcpy(page.read_io_latency_histogram.bins, bins, sizeof bins);
    carry_totals(&reading, page, nullptr);
    EXPECT_EQ(lines_of(render(reading), "ebs_read_latency_seconds_bucket"),
              "ebs_read_latency_seconds_bucket{volume_id=\"vol-1\",device=\"nvme0n1\",le=\"0.0001\"} 1\n"
              "ebs_read_latency_seconds_bucket{volume_id=\"vol-1\",device=\"nvme0n1\",le=\"+Inf\"} 3\n");
}

// Given bounds: each bucket counts the bins whose upper bound is at or below
// it, in whatever order the device lists them; an open bin counts in +Inf alone.
TEST(render_metrics, bins_merged_into_given_bounds)
{
    controller_reading reading = reading_of("vol1");
    ebs_stats_log page{};
    page.read_io_latency_histogram.num_bins = 6;
    const histogram_bin bins[] = {{0, 64, 1, 0},       {64, 128, 2, 0},    {256, 512, 4, 0},
                                  {128, 256, 8, 0},     {512, 1024, 16, 0}, {1024, 18446744073709551615u, 32, 0},
                                  {0, 100, 64, 0}}; // beyond num_bins
    memcpy(page.read_io_latency_histogram.bins, bins, sizeof bins);
    carry_totals(&reading, page, nullptr);
    struct row {
        std::vector<uint64_t> bounds;
        const char* buckets; // le and count, "le count;" each
    } rows[] = {
        {{}, "0.000064 1;0.000128 3;0.000512 7;0.001024 31;+Inf 63;"}, // every rising bin
        {{128, 1024}, "0.000128 3;0.001024 31;+Inf 63;"},             // edges: exact
        {{100, 300, 2000}, "0.0001 1;0.0003 11;0.002 31;+Inf 63;"},    // inside bins
        {{1}, "0.000001 0;+Inf 63;"},
        {{3600000000u}, "3600 31;+Inf 63;"},
    };
    for (const row& r : rows) {
        latency_buckets buckets{};
        for (uint64_t bound : r.bounds)
            buckets.upper[buckets.count++] = bound;
        use_latency_buckets(buckets);
        std::string text = lines_of(render(reading), "ebs_read_latency_seconds_bucket{");
        use_latency_buckets(latency_buckets{});
        std::string expected;
        for (const char* p = r.buckets; *p != '\0';) {
            const char* space = strchr(p, ' ');
            const char* end = strchr(space, ';');
            expected += "ebs_read_latency_seconds_bucket{volume_id=\"vol-1\",device=\"nvme0n1\",le=\""
                        + std::string(p, space) + "\"} " + std::string(space + 1, end) + "\n";
            p = end + 1;
        }
        EXPECT_EQ(text, expected) << r.buckets;
        // _count and _sum stay what they are without the bounds.
        EXPECT_EQ(lines_of(render(reading), "ebs_read_latency_seconds_count{"),
                  "ebs_read_latency_seconds_count{volume_id=\"vol-1\",device=\"nvme0n1\"} 63\n");
    }
}

TEST(render_metrics, label_values_from_the_device_are_escaped)
{
    controller_reading reading = reading_of("a\"b\\c\nd\xff\x01");
    strcpy(reading.identity.model, "Amazon Elastic Block Store");
    strcpy(reading.identity.block_device, "sd\"f");
    EXPECT_EQ(lines_of(render(reading), "ebs_volume_info{"),
              "ebs_volume_info{volume_id=\"vol-1\",device=\"nvme0n1\",block_device=\"sd\\\"f\","
              "model=\"Amazon Elastic Block Store\",serial=\"a\\\"b\\\\c?d??\"} 1\n");
}

TEST(render_metrics, controllers_without_statistics)
{
    controller_reading instance = reading_of("AWS1");
    instance.is_ebs = false;
    strcpy(instance.identity.model, "Amazon EC2 NVMe Instance Storage");
    controller_reading unreadable = reading_of("");
    unreadable.identified = false;
    unreadable.nanoseconds = 1234567;
    for (const controller_reading& reading : {instance, unreadable}) {
        std::string page = render(reading);
        EXPECT_EQ(lines_of(page, "ebs_read_ops_total{"), "");
        EXPECT_EQ(lines_of(page, "ebs_scrape_success{"),
                  std::string("ebs_scrape_success{device=\"nvme0n1\"} ")
                      + (reading.identified ? "1" : "0") + "\n");
    }
    EXPECT_EQ(lines_of(render(unreadable), "ebs_scrape_duration_seconds{"),
              "ebs_scrape_duration_seconds{device=\"nvme0n1\"} 0.001234567\n");
    EXPECT_EQ(lines_of(render(instance), "ec2_instance_storage_info{"),
              "ec2_instance_storage_info{device=\"nvme0n1\",model=\"Amazon EC2 NVMe Instance "
              "Storage\",serial=\"AWS1\"} 1\n");
}

} // namespace
