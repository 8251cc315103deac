// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include "bed.h"
#include "bed_main.h"
#include "e2e.h"

const char usage[] = "usage: volscan id [-b] [-m] [-s] [-u] [-v] device\n"
                     "       volscan-id [-b] [-m] [-s] [-u] [-v] device\n"
                     "       volscan stats [-i interval] [-j] device\n"
                     "       volscan-stats [-i interval] [-j] device\n";

const char ebs_identity[] = "Volume ID: vol-0123456789abcdef0\nsdf\n";

const char example_text[] = "Total Ops\n"
                            "  Read: 1\n"
                            "  Write: 2\n"
                            "Total Bytes\n"
                            "  Read: 3\n"
                            "  Write: 4\n"
                            "Total Time (us)\n"
                            "  Read: 5\n"
                            "  Write: 6\n"
                            "EBS Volume Performance Exceeded (us)\n"
                            "  IOPS: 7\n"
                            "  Throughput: 8\n"
                            "EC2 Instance EBS Performance Exceeded (us)\n"
                            "  IOPS: 9\n"
                            "  Throughput: 10\n"
                            "Queue Length (point in time): 11\n"
                            "\n"
                            "Read IO Latency Histogram (us)\n"
                            "Number of bins: 2\n"
                            "=================================\n"
                            "Lower       Upper        IO Count\n"
                            "=================================\n"
                            "[0        - 100     ] => 5\n"
                            "[100      - 200     ] => 7\n"
                            "\n"
                            "Write IO Latency Histogram (us)\n"
                            "Number of bins: 0\n"
                            "=================================\n"
                            "Lower       Upper        IO Count\n"
                            "=================================\n";

const char example_json[] =
    "{\"total_read_ops\": 1, \"total_write_ops\": 2, \"total_read_bytes\": 3, "
    "\"total_write_bytes\": 4, \"total_read_time\": 5, \"total_write_time\": 6, "
    "\"ebs_volume_performance_exceeded_iops\": 7, \"ebs_volume_performance_exceeded_tp\": 8, "
    "\"ec2_instance_ebs_performance_exceeded_iops\": 9, "
    "\"ec2_instance_ebs_performance_exceeded_tp\": 10, \"volume_queue_length\": 11, "
    "\"read_io_latency_histogram\": {\"num_bins\": 2, \"bins\": [{\"lower\": 0, \"upper\": 100, "
    "\"count\": 5}, {\"lower\": 100, \"upper\": 200, \"count\": 7}]}, "
    "\"write_io_latency_histogram\": {\"num_bins\": 0, \"bins\": []}}\n";

std::ostream& operator<<(std::ostream& os, const expect_run& run)
{
    os << "[";
    for (size_t i = 0; i < run.argv.size(); i++)
        os << (i ? " " : "") << run.argv[i];
    return os << "]";
}

void check_run(const expect_run& run, const run_options& options)
{
    run_result got = bed_volscan(run.argv, options);
    bed_log log = bed_take_log();
    SCOPED_TRACE(::testing::PrintToString(run));
    EXPECT_EQ(got.out, run.out);
    EXPECT_EQ(got.err, run.err);
    EXPECT_EQ(got.status, run.status);
    EXPECT_EQ(log.violations, std::vector<std::string>());
}

int main(int argc, char** argv) { return run_tests_on_bed(argc, argv); }
