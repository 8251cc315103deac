// SPDX-License-Identifier: BSD-2-Clause
// Polling must not allocate: after the first pass, whatever the pass needs
// already exists (the pages, the request record, the stdio buffer). The real
// binary polls the emulated volume with a counting allocator preloaded; the
// totals it writes at every sleep must stay where the first pass left them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "alloc_totals.h"
#include "bed.h"
#include "bed_main.h"

namespace {

// Full pages of a busy volume: all 64 bins in use, wide counters, so that every
// conversion of the renderers runs with long numbers.
page_bytes busy_page(int sample)
{
    stats_values v;
    for (int i = 0; i < 11; i++)
        v.counters[i] = 18'000'000'000'000'000'000u / (i + 1) + 1'000'003ull * sample * (i + 1);
    v.read_num_bins = v.write_num_bins = 64;
    uint64_t lower = 0;
    for (int i = 0; i < 64; i++) {
        uint64_t upper = lower + 1 + lower / 2;
        v.read_bins.push_back({lower, upper, 4'000'000'000u + 1'000u * sample + i});
        v.write_bins.push_back({lower, upper, 3'000'000'000u + 700u * sample + i});
        lower = upper;
    }
    return stats_page(v);
}

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

struct poll_case {
    std::vector<std::string> argv;
    std::string report_start; // once in each report
};

TEST(poll, no_allocation_after_first_pass)
{
    const poll_case cases[] = {
        {{"volscan", "stats", "-i", "1", "nvme0"}, "Total Ops\n"},
        {{"volscan", "stats", "-i", "1", "-j", "nvme0"}, "{\"total_read_ops\": "},
    };
    controller_fixture fixture = ebs_volume();
    page_bytes bad = busy_page(4);
    bad[0] ^= 0xFF; // no signature: the fifth sample ends the run
    fixture.pages = {busy_page(0), busy_page(1), busy_page(2), busy_page(3), bad};

    for (const poll_case& c : cases) {
        std::string command;
        for (const std::string& word : c.argv)
            command += (command.empty() ? "" : " ") + word;
        SCOPED_TRACE(command);
        char log_path[] = "/tmp/alloc-count-XXXXXX";
        int fd = mkstemp(log_path);
        ASSERT_GE(fd, 0);
        close(fd);
        bed_set_primary(fixture);
        run_options options;
        // ld.so takes the last LD_PRELOAD in the environment, so this entry
        // puts the counter ahead of the bed's shim and umockdev's library.
        options.env = {"ALLOC_COUNT_LOG=" + std::string(log_path),
                       "LD_PRELOAD=" ALLOC_COUNT_LIB ":" BED_SHIM ":libumockdev-preload.so.0"};
        // Straight to the binary: a wrapper that BED_WRAPPER may name (valgrind)
        // would bring an allocator of its own.
        run_result got = bed_run(bed_volscan_path(), c.argv, options);
        bed_log log = bed_take_log();
        std::vector<totals> lines = read_totals(log_path);
        unlink(log_path);

        EXPECT_EQ(got.err, "volscan: Not an EBS device: nvme0\n");
        EXPECT_EQ(got.status, 1);
        EXPECT_EQ(log.samples, 5);
        EXPECT_EQ(log.violations, std::vector<std::string>());
        EXPECT_EQ(occurrences(got.out, c.report_start), 4u);

        // Four passes end in a sleep each, the fifth in the exit.
        ASSERT_EQ(lines.size(), 5u) << "was the counter preloaded?\n" << describe(lines);
        for (int pass = 0; pass < 4; pass++)
            EXPECT_EQ(lines[pass].event, "sleep");
        EXPECT_EQ(lines[4].event, "exit");
        // The first pass does allocate (the path of the device node, the model
        // string, the stdio buffer): proof that the counter sees the program.
        EXPECT_GE(lines[0].allocations, 3u) << describe(lines);
        std::vector<totals> steady(lines.size(), lines[0]);
        for (size_t i = 1; i < lines.size(); i++)
            steady[i].event = lines[i].event;
        EXPECT_EQ(describe(lines), describe(steady));
    }
}

} // namespace

int main(int argc, char** argv) { return run_tests_on_bed(argc, argv); }
