// SPDX-License-Identifier: BSD-2-Clause
// volscan's histogram quantiles against Prometheus's own: for a table of
// bucket shapes, the interval's counts go to promtool as the exporter would
// serve them (64-bit running totals, le = each bin's upper bound, the bin
// without an upper bound in +Inf), and histogram_quantile over the
// difference of two scrapes must give volscan's values.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "nvme/driver.h"
#include "stats/interval.h"
#include "stats/poll.h"

namespace {

constexpr uint64_t open_bin = UINT64_MAX;

struct shape {
    const char* name;
    std::vector<uint64_t> bounds;  // lower of the first bin, then each bin's upper bound
    std::vector<uint32_t> before;  // the device's 32-bit counts at the first sample
    std::vector<uint32_t> after;   // and at the second
};

const shape shapes[] = {
    {"one bin", {0, 1000}, {0}, {10}},
    {"all in the last bin", {0, 128, 256, open_bin}, {0, 0, 0}, {0, 0, 50}},
    {"all in the last bin with a bound", {0, 128, 256, 512}, {0, 0, 7}, {0, 0, 47}},
    {"empty bins between", {0, 128, 256, 512, 1024, 2048}, {0, 0, 0, 0, 0}, {10, 0, 0, 0, 30}},
    {"two modes and a tail", {0, 128, 256, 512, 1024, 2048, open_bin}, {5, 5, 5, 5, 5, 5}, {905, 5, 5, 505, 5, 25}},
    {"a wrap", {0, 128, 256, 512}, {4294967000u, 4294967290u, 5}, {4294967100u, 394, 55}},
    {"a bound that does not grow", {0, 100, 100, 200}, {0, 0, 0}, {10, 5, 10}},
    {"a first bin above 0", {50, 100, 200}, {0, 0}, {10, 10}},
    {"uneven counts", {0, 3, 7, 100, 101, 5000}, {1, 2, 3, 4, 5}, {1001, 2002, 3, 4004, 5005}},
};

const double levels[] = {0.01, 0.25, 0.5, 0.9, 0.99, 1};

void fill(const shape& s, const std::vector<uint32_t>& counts, ebs_stats_log* page)
{
    memset(page, 0, sizeof *page);
    latency_histogram& h = page->read_io_latency_histogram;
    h.num_bins = counts.size();
    for (size_t i = 0; i < counts.size(); i++)
        h.bins[i] = {s.bounds[i], s.bounds[i + 1], counts[i], 0};
}

latency_histogram interval_of(const shape& s)
{
    static ebs_stats_log before, after, delta;
    fill(s, s.before, &before);
    fill(s, s.after, &after);
    stats_delta(after, before, &delta);
    return delta.read_io_latency_histogram;
}

std::string number(double value)
{
    char text[40];
    snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The series of one shape as the exporter's buckets: cumulative running
// totals at two scrapes a minute apart.
std::string series(int index, const shape& s)
{
    std::string text;
    uint64_t cumulative_before = 0, cumulative_after = 0;
    uint64_t last_upper = 0;
    bool any = false;
    for (size_t i = 0; i < s.before.size(); i++) {
        cumulative_before += s.before[i];
        cumulative_after += uint64_t{s.before[i]} + bin_difference(s.after[i], s.before[i]);
        uint64_t upper = s.bounds[i + 1];
        if (upper == open_bin || (any && upper <= last_upper))
            continue;
        any = true;
        last_upper = upper;
        text += "      - series: 'lat_bucket{case=\"" + std::to_string(index) + "\",le=\""
            + std::to_string(upper) + "\"}'\n        values: '" + std::to_string(cumulative_before)
            + " " + std::to_string(cumulative_after) + "'\n";
    }
    text += "      - series: 'lat_bucket{case=\"" + std::to_string(index)
        + "\",le=\"+Inf\"}'\n        values: '" + std::to_string(cumulative_before) + " "
        + std::to_string(cumulative_after) + "'\n";
    return text;
}

TEST(quantile, matches_promtool_histogram_quantile)
{
    if (std::string(PROMTOOL).empty() || std::string(PROMTOOL).find("NOTFOUND") != std::string::npos)
        GTEST_SKIP() << "promtool not found";
    std::string inputs, checks;
    int index = 0;
    for (const shape& s : shapes) {
        inputs += series(index, s);
        latency_histogram interval = interval_of(s);
        for (double q : levels) {
            latency_quantile got = histogram_quantile(q, interval);
            ASSERT_TRUE(got.defined) << s.name;
            std::string selector = "lat_bucket{case=\"" + std::to_string(index) + "\"}";
            checks += "      - expr: histogram_quantile(" + number(q) + ", " + selector + " - "
                + selector + " offset 1m)\n        eval_time: 1m\n        exp_samples:\n"
                "          - labels: '{case=\"" + std::to_string(index) + "\"}'\n"
                "            value: " + number(got.microseconds) + "\n";
        }
        index++;
    }
    char folder[] = "/tmp/quantile-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string path = std::string(folder) + "/quantiles_test.yml";
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fprintf(file, "rule_files: []\nevaluation_interval: 1m\ntests:\n  - interval: 1m\n"
                  "    input_series:\n%s    promql_expr_test:\n%s",
            inputs.c_str(), checks.c_str());
    fclose(file);
    std::string command = "timeout 60 " + std::string(PROMTOOL) + " test rules " + path + " 2>&1";
    FILE* run = popen(command.c_str(), "r");
    ASSERT_NE(run, nullptr);
    std::string output;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, run)) > 0)
        output.append(chunk, got);
    int status = pclose(run);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    unlink(path.c_str());
    rmdir(folder);
}

// What Prometheus cannot say: nothing for an interval without operations,
// and "above" for a quantile in the bin without an upper bound, whose lower
// bound it gives.
TEST(quantile, empty_and_open_intervals)
{
    struct open_case {
        shape s;
        double q;
        latency_quantile expected;
    };
    const open_case cases[] = {
        {{"no operation", {0, 128, 256}, {7, 9}, {7, 9}}, 0.5, {false, false, 0}},
        {{"no bin in use", {0, 128}, {}, {}}, 0.99, {false, false, 0}},
        {{"only the open bin", {0, open_bin}, {0}, {3}}, 0.5, {true, true, 0}},
        {{"tail in the open bin", {0, 128, 256, open_bin}, {0, 0, 0}, {90, 0, 10}}, 0.99, {true, true, 256}},
        {{"below the open bin", {0, 128, 256, open_bin}, {0, 0, 0}, {90, 0, 10}}, 0.9, {true, false, 128}},
        {{"a wrap", {0, 100}, {4294967295u}, {99}}, 0.5, {true, false, 50}},
    };
    for (const open_case& c : cases) {
        latency_quantile got = histogram_quantile(c.q, interval_of(c.s));
        EXPECT_EQ(got.defined, c.expected.defined) << c.s.name;
        EXPECT_EQ(got.above, c.expected.above) << c.s.name;
        EXPECT_DOUBLE_EQ(got.microseconds, c.expected.microseconds) << c.s.name;
    }
}

// One row per namespace or multipath head: later controllers of a head go.
TEST(devices, one_entry_per_device)
{
    controller_entry entries[] = {{"nvme0", "nvme0n1"}, {"nvme1", "nvme1n1"}, {"nvme2", "nvme1n1"},
                                  {"nvme3", "nvme3"},   {"nvme4", "nvme0n1"}, {"nvme5", "nvme5n1"}};
    int count = distinct_devices(entries, 6);
    ASSERT_EQ(count, 4);
    const char* kept[][2] = {{"nvme0", "nvme0n1"}, {"nvme1", "nvme1n1"}, {"nvme3", "nvme3"}, {"nvme5", "nvme5n1"}};
    for (int i = 0; i < count; i++) {
        EXPECT_STREQ(entries[i].controller, kept[i][0]);
        EXPECT_STREQ(entries[i].device, kept[i][1]);
    }
}

} // namespace
