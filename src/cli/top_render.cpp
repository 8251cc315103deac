// SPDX-License-Identifier: BSD-2-Clause
#include "cli/top_render.h"

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

// The table's columns after the device and the volume, left to right. On a
// terminal too narrow for all of them, whole steps of the drop order go, one
// after another, until the rest fits: the queue, the means, the p50s, the
// MiB/s, the p90s, and then the four limit columns give way to one that
// holds the largest of their shares. What an 80-column terminal keeps is the
// question top exists for: how busy, how slow at the tail, how throttled.
enum column_id {
    read_ops, write_ops, read_mib, write_mib,
    read_mean, read_p50, read_p90, read_p99,
    write_mean, write_p50, write_p90, write_p99,
    queue, volume_iops_share, volume_tput_share, instance_iops_share, instance_tput_share,
    limited_share,
    column_count
};

enum group_id { no_group, ops_group, mib_group, read_group, write_group, limit_group };

// Group labels, the longest first; a run of columns too narrow for all of
// them goes without, and its columns name themselves.
const char* const group_labels[][3] = {
    {},
    {"ops/s"},
    {"MiB/s"},
    {"read latency (us)", "read (us)"},
    {"write latency (us)", "write (us)"},
    {"limit exceeded (% of time)"},
};

struct column_spec {
    int width;          // printed right-aligned after one space
    group_id group;
    const char* header; // under its group's label
    const char* alone;  // without it
    int first_step;     // shown from this step of the drop order on
    int last_step;      // up to and including this one
};

constexpr int last_step = 6;
constexpr int name_width = 34; // the device, a space, the volume

const column_spec columns[column_count] = {
    {8, ops_group, "read", "rd-ops", 0, last_step},
    {8, ops_group, "write", "wr-ops", 0, last_step},
    {7, mib_group, "read", "rd-MiB", 0, 3},
    {7, mib_group, "write", "wr-MiB", 0, 3},
    {7, read_group, "mean", "rd-mean", 0, 1},
    {7, read_group, "p50", "rd-p50", 0, 2},
    {7, read_group, "p90", "rd-p90", 0, 4},
    {7, read_group, "p99", "rd-p99", 0, last_step},
    {7, write_group, "mean", "wr-mean", 0, 1},
    {7, write_group, "p50", "wr-p50", 0, 2},
    {7, write_group, "p90", "wr-p90", 0, 4},
    {7, write_group, "p99", "wr-p99", 0, last_step},
    {5, no_group, "queue", "queue", 0, 0},
    {9, limit_group, "vol-IOPS", "vol-IOPS", 0, last_step - 1},
    {9, limit_group, "vol-tput", "vol-tput", 0, last_step - 1},
    {9, limit_group, "inst-IOPS", "inst-IOPS", 0, last_step - 1},
    {9, limit_group, "inst-tput", "inst-tput", 0, last_step - 1},
    {9, no_group, "limited%", "limited%", last_step, last_step},
};

// The columns of one report and the label over each group, if it has room.
struct table_layout {
    bool shown[column_count];
    const char* label[limit_group + 1];
};

bool shown_at(const column_spec& column, int step)
{
    return column.first_step <= step && step <= column.last_step;
}

int width_at(int step)
{
    int width = name_width;
    for (const column_spec& column : columns)
        if (shown_at(column, step))
            width += 1 + column.width;
    return width;
}

// The columns a group's label spans (its columns are neighbours).
int group_width(const table_layout& layout, group_id group)
{
    int width = 0;
    for (int i = 0; i < column_count; i++)
        if (layout.shown[i] && columns[i].group == group)
            width += 1 + columns[i].width;
    return width;
}

// The fullest table that fits width columns (0: no limit); the last step of
// the drop order when none does, its lines cut at the terminal's edge.
void choose_layout(int width, table_layout* layout)
{
    int step = 0;
    while (width > 0 && step < last_step && width_at(step) > width)
        step++;
    for (int i = 0; i < column_count; i++)
        layout->shown[i] = shown_at(columns[i], step);
    for (int group = no_group; group <= limit_group; group++) {
        // A space, the label between spaces, and at least two dashes.
        int room = group_width(*layout, static_cast<group_id>(group)) - 5;
        layout->label[group] = nullptr;
        for (const char* label : group_labels[group])
            if (group != no_group && label != nullptr && static_cast<int>(strlen(label)) <= room) {
                layout->label[group] = label;
                break;
            }
    }
}

void print_header(const top_report& report, const table_layout& layout)
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
    printf("%*s", name_width, "");
    for (int i = 0; i < column_count; i++) {
        if (!layout.shown[i])
            continue;
        group_id group = columns[i].group;
        const char* label = layout.label[group];
        if (label == nullptr) {
            printf("%*s", 1 + columns[i].width, "");
            continue;
        }
        print_group(label, group_width(layout, group));
        while (i + 1 < column_count && columns[i + 1].group == group)
            i++;
    }
    end_line(report);
    printf("%-12s %-21s", "device", "volume");
    for (int i = 0; i < column_count; i++)
        if (layout.shown[i])
            printf(" %*s", columns[i].width,
                   layout.label[columns[i].group] ? columns[i].header : columns[i].alone);
    if (report.terminal)
        fputs(plain, stdout);
    end_line(report);
}

void quantile_text(const latency_quantile& quantile, char (&text)[32])
{
    if (!quantile.defined)
        snprintf(text, sizeof text, "-");
    else
        snprintf(text, sizeof text, "%s%.0f", quantile.above ? ">" : "", quantile.microseconds);
}

void mean_text(const direction_rates& rates, char (&text)[32])
{
    if (rates.has_mean)
        snprintf(text, sizeof text, "%.0f", rates.mean_microseconds);
    else
        snprintf(text, sizeof text, "-");
}

// A column's figure; the share of time limited when it is one.
double cell_text(const interval_rates& rates, int column, char (&text)[32])
{
    bool reads = column == read_ops || column == read_mib || column == read_mean;
    const direction_rates& direction = reads ? rates.read : rates.write;
    switch (column) {
    case read_ops:
    case write_ops:
        snprintf(text, sizeof text, "%.1f", direction.ops_per_second);
        return 0;
    case read_mib:
    case write_mib:
        snprintf(text, sizeof text, "%.1f", direction.bytes_per_second / 1048576);
        return 0;
    case read_mean:
    case write_mean:
        mean_text(direction, text);
        return 0;
    case read_p50:
    case read_p90:
    case read_p99:
        quantile_text(rates.read.quantiles[column - read_p50], text);
        return 0;
    case write_p50:
    case write_p90:
    case write_p99:
        quantile_text(rates.write.quantiles[column - write_p50], text);
        return 0;
    case queue:
        snprintf(text, sizeof text, "%" PRIu64, rates.queue_length);
        return 0;
    case limited_share: {
        double largest = 0;
        for (double share : rates.exceeded_share)
            largest = share > largest ? share : largest;
        snprintf(text, sizeof text, "%.1f", largest * 100);
        return largest;
    }
    default: {
        double share = rates.exceeded_share[column - volume_iops_share];
        snprintf(text, sizeof text, "%.1f", share * 100);
        return share;
    }
    }
}

void print_row(const top_report& report, const table_layout& layout, const top_row& row)
{
    printf("%-12s %-21s", row.device, row.identity.volume_id);
    if (row.state != row_state::measured) {
        const char* why = row.state == row_state::failed
            ? row.failure
            : "counters went back (attached again?): new baseline";
        printf("  %s%s%s", report.terminal ? alert : "", why, report.terminal ? plain : "");
        end_line(report);
        return;
    }
    for (int i = 0; i < column_count; i++) {
        if (!layout.shown[i])
            continue;
        char text[32];
        bool throttled = cell_text(row.rates, i, text) > 0 && report.terminal;
        printf(" %s%*s%s", throttled ? alert : "", columns[i].width, text,
               throttled ? plain : "");
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
    print_json_string(row.identity.volume_id);
    fputs(", \"block_device\": ", stdout);
    print_json_string(row.identity.block_device);
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
    table_layout layout;
    choose_layout(report.width, &layout);
    print_header(report, layout);
    if (report.count == 0) {
        fputs("no EBS volume", stdout);
        end_line(report);
    }
    for (int i = 0; i < report.count; i++) {
        const top_row& row = *report.rows[i];
        print_row(report, layout, row);
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
