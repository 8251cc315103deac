// SPDX-License-Identifier: BSD-2-Clause
// The cost of one polling pass once the sample is in: the difference of two
// full pages and its rendering, text or JSON. The device request and the
// sleep are left out; the output goes to /dev/null so that the terminal does
// not set the pace.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "cli/diag.h"
#include "cli/stats_report.h"
#include "cli/top_render.h"
#include "stats/interval.h"
#include "stats/log_page.h"
#include "stats/poll.h"

namespace {

// Two samples of a busy volume a second apart after months of service: every
// bin in use, counters in the billions and beyond, bin counts near the 32-bit
// limit, and bounds that grow to thirteen digits, past the 8-character
// columns, so that long conversions get their share.
void fill_histogram(latency_histogram* histogram, uint32_t base, uint32_t step)
{
    histogram->num_bins = histogram_bins;
    uint64_t lower = 0;
    for (int i = 0; i < histogram_bins; i++) {
        uint64_t upper = i < 8 ? lower + 16 : lower + lower / 2 + 16;
        histogram->bins[i] = {lower, upper, base + step * static_cast<uint32_t>(i), 0};
        lower = upper;
    }
}

struct sample_pair {
    ebs_stats_log previous;
    ebs_stats_log current;
};

sample_pair make_samples()
{
    sample_pair s;
    memset(&s, 0, sizeof s);
    ebs_stats_log* pages[] = {&s.previous, &s.current};
    for (int k = 0; k < 2; k++) {
        ebs_stats_log* p = pages[k];
        uint64_t reads = 48'123'456'789 + k * 3'117ull;
        uint64_t writes = 19'876'543'210 + k * 1'203ull;
        p->magic = ebs_stats_magic;
        p->total_read_ops = reads;
        p->total_write_ops = writes;
        p->total_read_bytes = reads * 16384;
        p->total_write_bytes = writes * 16384;
        p->total_read_time = reads * 412;
        p->total_write_time = writes * 733;
        p->ebs_volume_performance_exceeded_iops = 1'500'000'000 + k * 20'000ull;
        p->ebs_volume_performance_exceeded_tp = 730'000'000 + k * 9'000ull;
        p->ec2_instance_ebs_performance_exceeded_iops = 8'000'000;
        p->ec2_instance_ebs_performance_exceeded_tp = 120'000;
        p->volume_queue_length = 3 + k;
        fill_histogram(&p->read_io_latency_histogram, 4'000'000'000u + 97 * k, 1'000'003);
        fill_histogram(&p->write_io_latency_histogram, 3'000'000'000u + 41 * k, 7'000'001);
    }
    return s;
}

const sample_pair samples = make_samples();

// The renderers write to the stdout variable, which glibc lets a program
// point elsewhere; std::cout, and with it the benchmark's own report, stays
// on the original stream.
struct discard_stdout {
    FILE* saved;
    discard_stdout() : saved(stdout)
    {
        FILE* null_stream = fopen("/dev/null", "w");
        if (null_stream == nullptr) {
            perror("/dev/null");
            std::abort();
        }
        stdout = null_stream;
    }
    ~discard_stdout()
    {
        fclose(stdout);
        stdout = saved;
    }
};

void delta_only(benchmark::State& state)
{
    ebs_stats_log delta;
    for (auto _ : state) {
        stats_delta(samples.current, samples.previous, &delta);
        benchmark::DoNotOptimize(&delta);
        benchmark::ClobberMemory();
    }
}

// What the polling loop does after the request: difference, separator,
// report, and the check that the report got out.
template <void (*print)(const ebs_stats_log&)>
void pass(benchmark::State& state)
{
    discard_stdout discard;
    ebs_stats_log delta;
    for (auto _ : state) {
        stats_delta(samples.current, samples.previous, &delta);
        fputs("\n\n", stdout);
        print(delta);
        check_stdout();
    }
}

void render_text_only(benchmark::State& state)
{
    discard_stdout discard;
    for (auto _ : state)
        print_stats_text(samples.current);
}

void render_json_only(benchmark::State& state)
{
    discard_stdout discard;
    for (auto _ : state)
        print_stats_json(samples.current);
}

// One interval of top for the most volumes a machine attaches, once the
// samples are in: for each volume the check for counters that went back, the
// differences, rates, means and six quantiles; then the rows put busiest
// first and the report, as text (terminal or not) or JSON.
constexpr int fleet_volumes = 27;

template <bool json, bool terminal>
void top_interval(benchmark::State& state)
{
    discard_stdout discard;
    static top_row rows[fleet_volumes];
    static const top_row* order[fleet_volumes];
    for (int i = 0; i < fleet_volumes; i++) {
        snprintf(rows[i].device, sizeof rows[i].device, "nvme%dn1", i + 1);
        snprintf(rows[i].identity.volume_id, sizeof rows[i].identity.volume_id, "vol-0123456789abcde%02d", i);
        snprintf(rows[i].identity.block_device, sizeof rows[i].identity.block_device, "xvd%c", 'f' + i % 20);
    }
    for (auto _ : state) {
        for (int i = 0; i < fleet_volumes; i++) {
            top_row* row = &rows[i];
            row->state = counters_went_back(samples.current, samples.previous) ? row_state::restarted
                                                                                : row_state::measured;
            stats_delta(samples.current, samples.previous, &row->delta);
            compute_interval(row->delta, 1.0 + i * 1e-6, &row->rates);
            order[i] = row;
        }
        if (terminal)
            order_by_activity(order, fleet_volumes);
        top_report report = {1767225600, 0, 1.0, order, fleet_volumes, terminal, false, 0};
        if (json)
            print_top_json(report);
        else
            print_top_text(report);
        check_stdout();
    }
}

} // namespace

BENCHMARK(top_interval<false, false>)->Name("top_interval_27_volumes_text");
BENCHMARK(top_interval<false, true>)->Name("top_interval_27_volumes_terminal");
BENCHMARK(top_interval<true, false>)->Name("top_interval_27_volumes_json");
BENCHMARK(delta_only);
BENCHMARK(pass<print_stats_text>)->Name("pass_text");
BENCHMARK(pass<print_stats_json>)->Name("pass_json");
BENCHMARK(render_text_only);
BENCHMARK(render_json_only);

BENCHMARK_MAIN();
