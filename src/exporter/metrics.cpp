// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/metrics.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "stats/interval.h"

const char metrics_content_type[] = "text/plain; version=0.0.4; charset=utf-8";

static latency_buckets given_buckets;

void use_latency_buckets(const latency_buckets& buckets)
{
    given_buckets = buckets;
}

struct counter_family {
    const char* name;
    const char* help;
    uint64_t ebs_stats_log::*field;
    bool microseconds; // the page counts microseconds; the metric is in seconds
};

static const counter_family counter_families[] = {
    {"ebs_read_ops_total", "Read operations completed by the volume.",
     &ebs_stats_log::total_read_ops, false},
    {"ebs_write_ops_total", "Write operations completed by the volume.",
     &ebs_stats_log::total_write_ops, false},
    {"ebs_read_bytes_total", "Bytes read from the volume.", &ebs_stats_log::total_read_bytes,
     false},
    {"ebs_write_bytes_total", "Bytes written to the volume.", &ebs_stats_log::total_write_bytes,
     false},
    {"ebs_read_seconds_total", "Time spent in read operations, summed over all of them.",
     &ebs_stats_log::total_read_time, true},
    {"ebs_write_seconds_total", "Time spent in write operations, summed over all of them.",
     &ebs_stats_log::total_write_time, true},
    {"ebs_volume_performance_exceeded_iops_seconds_total",
     "Time for which the application asked for more IOPS than the volume is provisioned for.",
     &ebs_stats_log::ebs_volume_performance_exceeded_iops, true},
    {"ebs_volume_performance_exceeded_throughput_seconds_total",
     "Time for which the application asked for more throughput than the volume is provisioned "
     "for.",
     &ebs_stats_log::ebs_volume_performance_exceeded_tp, true},
    {"ebs_instance_performance_exceeded_iops_seconds_total",
     "Time for which the application asked for more EBS IOPS than the instance supports.",
     &ebs_stats_log::ec2_instance_ebs_performance_exceeded_iops, true},
    {"ebs_instance_performance_exceeded_throughput_seconds_total",
     "Time for which the application asked for more EBS throughput than the instance supports.",
     &ebs_stats_log::ec2_instance_ebs_performance_exceeded_tp, true},
};

// value / 10^digits in plain decimal, exactly: no rounding, no exponent.
static void append_fraction(text_buffer* out, uint64_t value, int digits)
{
    uint64_t unit = 1;
    for (int i = 0; i < digits; i++)
        unit *= 10;
    uint64_t part = value % unit;
    if (part == 0) {
        append_text(out, "%" PRIu64, value / unit);
        return;
    }
    char text[24];
    snprintf(text, sizeof text, "%0*" PRIu64, digits, part);
    size_t length = strlen(text);
    while (text[length - 1] == '0')
        text[--length] = '\0';
    append_text(out, "%" PRIu64 ".%s", value / unit, text);
}

static void append_seconds_from_us(text_buffer* out, uint64_t microseconds)
{
    append_fraction(out, microseconds, 6);
}

static void head(text_buffer* out, const char* name, const char* type, const char* help)
{
    append_text(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// One label, name="value", after the text before it (",", or nothing).
static void append_label(text_buffer* out, const char* before, const char* name,
                         const char* value)
{
    append_text(out, "%s%s=\"", before, name);
    append_label_value(out, value);
    append_text(out, "\"");
}

// The labels every series of a volume carries, without the braces.
static void volume_labels(text_buffer* out, const controller_reading& reading)
{
    bool has_volume_id = is_identified_volume(reading);
    if (has_volume_id)
        append_label(out, "", "volume_id", reading.identity.volume_id);
    append_label(out, has_volume_id ? "," : "", "device", reading.device);
}

static void sample_start(text_buffer* out, const char* name, const controller_reading& reading)
{
    append_text(out, "%s{", name);
    volume_labels(out, reading);
    append_text(out, "} ");
}

static void render_counters(const scrape_readings& readings, text_buffer* out)
{
    for (const counter_family& family : counter_families) {
        head(out, family.name, "counter", family.help);
        for (int i = 0; i < readings.count; i++) {
            const controller_reading& reading = readings.readings[i];
            if (!reading.has_stats)
                continue;
            uint64_t value = reading.page.*family.field;
            sample_start(out, family.name, reading);
            if (family.microseconds)
                append_seconds_from_us(out, value);
            else
                append_text(out, "%" PRIu64, value);
            append_text(out, "\n");
        }
    }
}

static void render_queue(const scrape_readings& readings, text_buffer* out)
{
    head(out, "ebs_volume_queue_length", "gauge",
         "Operations in the volume's queue at the moment of the scrape.");
    for (int i = 0; i < readings.count; i++) {
        const controller_reading& reading = readings.readings[i];
        if (reading.has_stats) {
            sample_start(out, "ebs_volume_queue_length", reading);
            append_text(out, "%" PRIu64 "\n", reading.page.volume_queue_length);
        }
    }
}

// The device's bins merged into the given bounds: each bucket counts every
// bin whose upper bound is at or below its own, whatever the bins' order. A
// bucket is exact where its bound is an edge of the device's bins; a bound
// inside a bin counts that bin only from the next bound up, so a bucket never
// counts an operation that may have taken longer than its bound.
static void render_given_buckets(text_buffer* out, const char* name,
                                 const controller_reading& reading,
                                 const latency_histogram& histogram, const uint64_t* totals)
{
    int bins = histogram.num_bins < histogram_bins ? static_cast<int>(histogram.num_bins)
                                                   : histogram_bins;
    for (int b = 0; b < given_buckets.count; b++) {
        uint64_t count = 0;
        for (int i = 0; i < bins; i++)
            if (histogram.bins[i].upper <= given_buckets.upper[b])
                count += totals[i];
        append_text(out, "%s_bucket{", name);
        volume_labels(out, reading);
        append_text(out, ",le=\"");
        append_seconds_from_us(out, given_buckets.upper[b]);
        append_text(out, "\"} %" PRIu64 "\n", count);
    }
}

// Cumulative buckets with the bins' upper bounds as le. A bin whose upper
// bound is not above the one before cannot have a bucket of its own: its
// count goes into the next bucket, and into +Inf in any case. A bin without a
// real upper bound (the largest value the field holds) is the +Inf bucket
// itself: as a finite le of 18446744073709.551615 seconds, histogram_quantile
// would interpolate inside it. With given bounds, those are the buckets.
static void render_histogram(text_buffer* out, const char* name, const controller_reading& reading,
                             const latency_histogram& histogram, const uint64_t* totals,
                             uint64_t sum_us)
{
    int bins = histogram.num_bins < histogram_bins ? static_cast<int>(histogram.num_bins)
                                                   : histogram_bins;
    uint64_t cumulative = 0;
    bool any = false;
    uint64_t last_upper = 0;
    if (given_buckets.count > 0)
        render_given_buckets(out, name, reading, histogram, totals);
    for (int i = 0; i < bins; i++) {
        cumulative += totals[i];
        uint64_t upper = histogram.bins[i].upper;
        if (given_buckets.count > 0 || (any && upper <= last_upper) || upper == open_upper_bound)
            continue;
        any = true;
        last_upper = upper;
        append_text(out, "%s_bucket{", name);
        volume_labels(out, reading);
        append_text(out, ",le=\"");
        append_seconds_from_us(out, upper);
        append_text(out, "\"} %" PRIu64 "\n", cumulative);
    }
    append_text(out, "%s_bucket{", name);
    volume_labels(out, reading);
    append_text(out, ",le=\"+Inf\"} %" PRIu64 "\n%s_sum{", cumulative, name);
    volume_labels(out, reading);
    append_text(out, "} ");
    append_seconds_from_us(out, sum_us);
    append_text(out, "\n%s_count{", name);
    volume_labels(out, reading);
    append_text(out, "} %" PRIu64 "\n", cumulative);
}

struct histogram_family {
    const char* name;
    const char* help;
    latency_histogram ebs_stats_log::*histogram;
    uint64_t (controller_reading::*totals)[histogram_bins];
    uint64_t ebs_stats_log::*sum; // microseconds
};

static const histogram_family histogram_families[] = {
    {"ebs_read_latency_seconds",
     "Latency of read operations, from the volume's histogram. _sum is the volume's total read "
     "time (ebs_read_seconds_total), so _sum / _count is the mean read latency only as far as "
     "the histogram's bins hold every read.",
     &ebs_stats_log::read_io_latency_histogram, &controller_reading::read_totals,
     &ebs_stats_log::total_read_time},
    {"ebs_write_latency_seconds",
     "Latency of write operations, from the volume's histogram. _sum is the volume's total write "
     "time (ebs_write_seconds_total), so _sum / _count is the mean write latency only as far as "
     "the histogram's bins hold every write.",
     &ebs_stats_log::write_io_latency_histogram, &controller_reading::write_totals,
     &ebs_stats_log::total_write_time},
};

static void render_histograms(const scrape_readings& readings, text_buffer* out)
{
    for (const histogram_family& family : histogram_families) {
        head(out, family.name, "histogram", family.help);
        for (int i = 0; i < readings.count; i++) {
            const controller_reading& reading = readings.readings[i];
            if (reading.has_stats)
                render_histogram(out, family.name, reading, reading.page.*family.histogram,
                                 reading.*family.totals, reading.page.*family.sum);
        }
    }
}

// An info series: the volume's labels, then what the device says of itself.
static void render_identity(text_buffer* out, const char* name, const controller_reading& reading)
{
    append_text(out, "%s{", name);
    volume_labels(out, reading);
    if (reading.is_ebs)
        append_label(out, ",", "block_device", reading.identity.block_device);
    append_label(out, ",", "model", reading.identity.model);
    append_label(out, ",", "serial", reading.identity.serial);
    append_text(out, "} 1\n");
}

static void render_info(const scrape_readings& readings, text_buffer* out)
{
    head(out, "ebs_volume_info", "gauge",
         "Identity of an EBS volume: block_device is the name the platform reports for it "
         "(the name it was attached under).");
    for (int i = 0; i < readings.count; i++)
        if (is_identified_volume(readings.readings[i]))
            render_identity(out, "ebs_volume_info", readings.readings[i]);
    head(out, "ec2_instance_storage_info", "gauge", "Identity of an instance-storage disk.");
    for (int i = 0; i < readings.count; i++)
        if (readings.readings[i].identified && !readings.readings[i].is_ebs)
            render_identity(out, "ec2_instance_storage_info", readings.readings[i]);
}

static void render_scrape(const scrape_readings& readings, text_buffer* out)
{
    head(out, "ebs_scrape_success", "gauge",
         "1 when this scrape read the device's identity and, for an EBS volume, its "
         "statistics; 0 when a request failed.");
    for (int i = 0; i < readings.count; i++) {
        const controller_reading& reading = readings.readings[i];
        bool success =
            !reading.late && reading.identified && (!reading.is_ebs || reading.has_stats);
        sample_start(out, "ebs_scrape_success", reading);
        append_text(out, "%d\n", success ? 1 : 0);
    }
    head(out, "ebs_scrape_duration_seconds", "gauge",
         "Time this scrape spent on the device's requests.");
    for (int i = 0; i < readings.count; i++) {
        const controller_reading& reading = readings.readings[i];
        sample_start(out, "ebs_scrape_duration_seconds", reading);
        append_fraction(out, reading.nanoseconds, 9);
        append_text(out, "\n");
    }
}

// Whether reading i is the first of the scrape to name its device: the same
// volume ID, or the same serial number for an instance-storage disk.
static bool first_of_its_device(const scrape_readings& readings, int i)
{
    const controller_reading& reading = readings.readings[i];
    const char* name = reading.is_ebs ? reading.identity.volume_id : reading.identity.serial;
    for (int j = 0; j < i; j++) {
        const controller_reading& before = readings.readings[j];
        if (before.identified && before.is_ebs == reading.is_ebs
            && strcmp(reading.is_ebs ? before.identity.volume_id : before.identity.serial, name)
                == 0)
            return false;
    }
    return true;
}

device_counts count_devices(const scrape_readings& readings)
{
    device_counts counts = {0, 0};
    for (int i = 0; i < readings.count; i++)
        if (readings.readings[i].identified && first_of_its_device(readings, i))
            (readings.readings[i].is_ebs ? counts.volumes : counts.disks)++;
    return counts;
}

static void render_counts(const scrape_readings& readings, text_buffer* out)
{
    device_counts counts = count_devices(readings);
    head(out, "ebs_volumes", "gauge",
         "EBS volumes this scrape found; a volume reached through several controllers counts "
         "once.");
    append_text(out, "ebs_volumes %d\n", counts.volumes);
    head(out, "ebs_instance_storage_disks", "gauge", "Instance-storage NVMe disks this scrape found.");
    append_text(out, "ebs_instance_storage_disks %d\n", counts.disks);
}

void render_metrics(const scrape_readings& readings, text_buffer* out)
{
    clear_text(out);
    render_counters(readings, out);
    render_queue(readings, out);
    render_histograms(readings, out);
    render_info(readings, out);
    render_scrape(readings, out);
    render_counts(readings, out);
}
