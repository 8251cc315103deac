// SPDX-License-Identifier: BSD-2-Clause
// top must not allocate once its first interval is out: the listing of the
// machine's controllers, the samples, the figures and the report all reuse
// what exists. The real binary runs on an emulated machine, on the bed's
// clock, with a counting allocator preloaded that writes its totals at every
// wait.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "alloc_totals.h"
#include "fleet.h"

namespace {

TEST(top, no_allocation_after_first_interval)
{
    const std::vector<std::string> modes[] = {{}, {"-j"}};
    std::vector<fleet_controller> machine(4);
    for (int k = 0; k < 3; k++)
        machine[k].fixture = fleet_ebs_volume(k);
    machine[3].fixture = instance_storage();
    fleet_start(machine, BED_SHIM);
    for (const std::vector<std::string>& mode : modes) {
        SCOPED_TRACE(mode.empty() ? "text" : "json");
        char log_path[] = "/tmp/alloc-count-XXXXXX";
        int fd = mkstemp(log_path);
        ASSERT_GE(fd, 0);
        close(fd);
        // Straight to the binary, bounded by the test's time limit: a program
        // around it would write totals of its own.
        std::vector<std::string> argv = {"volscan", "top", "-n", "5"};
        argv.insert(argv.end(), mode.begin(), mode.end());
        // ld.so takes the last LD_PRELOAD in the environment: the counter
        // comes ahead of the bed's shim and umockdev's library.
        run_result got = fleet_run(VOLSCAN_BINARY, argv,
                                   {"BED_FAST_SLEEP=1", "ALLOC_COUNT_LOG=" + std::string(log_path),
                                    "LD_PRELOAD=" ALLOC_COUNT_LIB ":" BED_SHIM ":libumockdev-preload.so.0"});
        std::vector<totals> lines = read_totals(log_path);
        unlink(log_path);
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(got.status, 0);

        // A wait before each of the five reports, then the exit.
        ASSERT_EQ(lines.size(), 6u) << "was the counter preloaded?\n" << describe(lines);
        EXPECT_EQ(lines[5].event, "exit");
        // Finding the volumes allocates (their identity, the stdio buffer):
        // proof that the counter sees the program.
        EXPECT_GE(lines[0].allocations, 3u) << describe(lines);
        std::vector<totals> steady(lines.size(), lines[1]);
        steady[0] = lines[0];
        for (size_t i = 1; i < lines.size(); i++)
            steady[i].event = lines[i].event;
        EXPECT_EQ(describe(lines), describe(steady));
    }
    EXPECT_EQ(fleet_violations(), std::vector<std::string>());
    fleet_stop();
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
