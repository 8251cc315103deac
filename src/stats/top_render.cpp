// SPDX-License-Identifier: BSD-2-Clause
#include "stats/top_render.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr char bold[] = "\033[1m";
constexpr char alert[] = "\033[1;31m";
constexpr char plain[] = "\033[0m";
constexpr int bar_width = 40;

const char* const limit_keys[limits] = {"volume_iops", "volume_throughput", "instance_iops",
                                        "instance_throughput"};

// On a terminal every line also clears what an earlier, longer screen left.
void end_line(const top_report& report) { fputs(report.terminal ? "\033[K\n" : "\n", stdout); }

// " --- label ---" filling width columns, its first one a space.
void print_group(const char* label, int width)
{
    int dashes = width - 1 - static_cast<int>(strlen(label)) - 2;
    int left = dashes / 2;
    printf(" %.*s %s %.*s", left, "----------------------------------------", label,
           dashes - left, "----------------------------------------");
}

void print_header(const top_report& report)
{
    struct tm local;
    time_t wall = static_cast<time_t>(report.wall_seconds);
    char when[40];
    if (localtime_r(&wall, &local) == nullptr
        || strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
        snprintf(when, sizeof when, "%" PRId64, report.wall_seconds);
    printf("%s%s  interval %.3f s%s", report.terminal ? bold : "", when, report.seconds,
           report.terminal ? "  (q quits)" : "");
    end_line(report);
    printf("%*s", 34, "");
    print_group("ops/s", 18);
    print_group("MiB/s", 16);
    print_group("read latency (us)", 32);
    print_group("write latency (us)", 32);
    printf("%6s", "");
    print_group("limit exceeded (% of time)", 40);
    end_line(report);
    printf("%-12s %-21s %8s %8s %7s %7s", "device", "volume", "read", "write", "read", "write");
    for (int direction = 0; direction < 2; direction++)
        printf(" %7s %7s %7s %7s", "mean", "p50", "p90", "p99");
    printf(" %5s %9s %9s %9s %9s%s", "queue", "vol-IOPS", "vol-tput", "inst-IOPS", "inst-tput",
           report.terminal ? plain : "");
    end_line(report);
}

void print_quantile(const latency_quantile& quantile)
{
    char text[32];
    if (!quantile.defined)
        snprintf(text, sizeof text, "-");
    else
        snprintf(text, sizeof text, "%s%.0f", quantile.above ? ">" : "", quantile.microseconds);
    printf(" %7s", text);
}

void print_direction(const direction_rates& rates)
{
    if (rates.has_mean)
        printf(" %7.0f", rates.mean_microseconds);
    else
        printf(" %7s", "-");
    for (const latency_quantile& quantile : rates.quantiles)
        print_quantile(quantile);
}

void print_row(const top_report& report, const top_row& row)
{
    printf("%-12s %-21s", row.device, row.volume_id);
    if (row.state != row_state::measured) {
        const char* why = row.state == row_state::failed
            ? row.failure
            : "counters went back (attached again?): new baseline";
        printf("  %s%s%s", report.terminal ? alert : "", why, report.terminal ? plain : "");
        end_line(report);
        return;
    }
    const interval_rates& rates = row.rates;
    printf(" %8.1f %8.1f %7.1f %7.1f", rates.read.ops_per_second, rates.write.ops_per_second,
           rates.read.bytes_per_second / 1048576, rates.write.bytes_per_second / 1048576);
    print_direction(rates.read);
    print_direction(rates.write);
    printf(" %5" PRIu64, rates.queue_length);
    for (double share : rates.exceeded_share) {
        bool throttled = report.terminal && share > 0;
        printf(" %s%9.1f%s", throttled ? alert : "", share * 100, throttled ? plain : "");
    }
    end_line(report);
}

// Microseconds as a person reads them: 128us, 1.024ms, 2.5s.
void readable_time(uint64_t microseconds, char (&text)[24])
{
    if (microseconds == open_upper_bound) {
        snprintf(text, sizeof text, "inf");
        return;
    }
    if (microseconds < 1000) {
        snprintf(text, sizeof text, "%" PRIu64 "us", microseconds);
        return;
    }
    bool seconds = microseconds >= 1000000;
    snprintf(text, sizeof text, "%.3f", static_cast<double>(microseconds) / (seconds ? 1e6 : 1e3));
    size_t length = strlen(text);
    while (text[length - 1] == '0')
        text[--length] = '\0';
    if (text[length - 1] == '.')
        text[--length] = '\0';
    snprintf(text + length, sizeof text - length, "%s", seconds ? "s" : "ms");
}

void print_bars(const top_report& report, const char* name, const latency_histogram& histogram)
{
    int bins = histogram.num_bins < histogram_bins ? static_cast<int>(histogram.num_bins)
                                                   : histogram_bins;
    int first = -1, last = -1;
    uint64_t total = 0;
    uint32_t largest = 0;
    for (int i = 0; i < bins; i++) {
        uint32_t count = histogram.bins[i].count;
        if (count == 0)
            continue;
        if (first < 0)
            first = i;
        last = i;
        total += count;
        if (count > largest)
            largest = count;
    }
    if (first < 0) {
        printf("  %s latency: no operation", name);
        end_line(report);
        return;
    }
    printf("  %s latency, %" PRIu64 " operations:", name, total);
    end_line(report);
    // The bins between the first and the last in use, empty ones included,
    // so that a gap between two modes shows.
    for (int i = first; i <= last; i++) {
        const histogram_bin& bin = histogram.bins[i];
        char lower[24], upper[24];
        readable_time(bin.lower, lower);
        readable_time(bin.upper, upper);
        int length = bin.count ? static_cast<int>(
                                     (static_cast<uint64_t>(bin.count) * bar_width + largest - 1)
                                     / largest)
                               : 0;
        printf("    %9s - %-9s %10" PRIu32 " %.*s", lower, upper, bin.count, length,
               "########################################");
        end_line(report);
    }
}

void print_json_string(const char* text)
{
    putchar('"');
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; c++) {
        if (*c == '"' || *c == '\\')
            printf("\\%c", *c);
        else if (*c < 0x20)
            printf("\\u%04x", *c);
        else
            putchar(*c);
    }
    putchar('"');
}

void print_json_quantile(const char* name, const latency_quantile& quantile)
{
    if (quantile.defined)
        printf(", \"latency_%s_seconds\": %.9g, \"latency_%s_above\": %s", name,
               quantile.microseconds / 1e6, name, quantile.above ? "true" : "false");
    else
        printf(", \"latency_%s_seconds\": null, \"latency_%s_above\": false", name, name);
}

void print_json_direction(const char* name, const direction_rates& rates)
{
    printf(", \"%s\": {\"ops_per_second\": %.9g, \"bytes_per_second\": %.9g", name,
           rates.ops_per_second, rates.bytes_per_second);
    if (rates.has_mean)
        printf(", \"latency_mean_seconds\": %.9g", rates.mean_microseconds / 1e6);
    else
        fputs(", \"latency_mean_seconds\": null", stdout);
    static const char* const names[shown_quantiles] = {"p50", "p90", "p99"};
    for (int i = 0; i < shown_quantiles; i++)
        print_json_quantile(names[i], rates.quantiles[i]);
    putchar('}');
}

void print_json_row(const top_row& row)
{
    fputs("{\"device\": ", stdout);
    print_json_string(row.device);
    fputs(", \"volume_id\": ", stdout);
    print_json_string(row.volume_id);
    fputs(", \"block_device\": ", stdout);
    print_json_string(row.block_device);
    static const char* const states[] = {"ok", "failed", "restarted"};
    printf(", \"status\": \"%s\", \"error\": ", states[static_cast<int>(row.state)]);
    if (row.state == row_state::failed)
        print_json_string(row.failure);
    else
        fputs("null", stdout);
    if (row.state != row_state::measured) {
        fputs(", \"interval_seconds\": null, \"read\": null, \"write\": null, \"queue_length\": "
              "null, \"exceeded\": null}",
              stdout);
        return;
    }
    const interval_rates& rates = row.rates;
    printf(", \"interval_seconds\": %.9g", rates.seconds);
    print_json_direction("read", rates.read);
    print_json_direction("write", rates.write);
    printf(", \"queue_length\": %" PRIu64 ", \"exceeded\": {", rates.queue_length);
    for (int i = 0; i < limits; i++)
        printf("%s\"%s\": %.9g", i ? ", " : "", limit_keys[i], rates.exceeded_share[i]);
    fputs("}}", stdout);
}

bool has_figures(const top_row* row) { return row->state == row_state::measured; }

double activity(const top_row* row)
{
    return row->rates.read.ops_per_second + row->rates.write.ops_per_second;
}

} // namespace

void order_by_activity(const top_row** rows, int count)
{
    for (int i = 1; i < count; i++)
        for (int j = i; j > 0; j--) {
            const top_row* a = rows[j - 1];
            const top_row* b = rows[j];
            bool swap = has_figures(b) && (!has_figures(a) || activity(b) > activity(a));
            if (!swap)
                break;
            rows[j - 1] = b;
            rows[j] = a;
        }
}

void print_top_text(const top_report& report)
{
    if (report.terminal)
        fputs("\033[H", stdout);
    print_header(report);
    if (report.count == 0) {
        fputs("no EBS volume", stdout);
        end_line(report);
    }
    for (int i = 0; i < report.count; i++) {
        const top_row& row = *report.rows[i];
        print_row(report, row);
        if (report.bars && row.state == row_state::measured) {
            print_bars(report, "read", row.delta.read_io_latency_histogram);
            print_bars(report, "write", row.delta.write_io_latency_histogram);
        }
    }
    fputs(report.terminal ? "\033[J" : "\n", stdout);
}

void print_top_json(const top_report& report)
{
    printf("{\"time\": %" PRId64 ".%03ld, \"interval_seconds\": %.9g, \"volumes\": [",
           report.wall_seconds, report.wall_nanoseconds / 1000000, report.seconds);
    for (int i = 0; i < report.count; i++) {
        if (i)
            fputs(", ", stdout);
        print_json_row(*report.rows[i]);
    }
    fputs("]}\n", stdout);
}
