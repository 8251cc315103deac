// SPDX-License-Identifier: BSD-2-Clause
// volscan top takes its operands as id and stats do: every form of the
// device names one volume's row, and a device they refuse gets the same
// diagnostic and status from top. On the one-volume bed, whose nvme0 has
// every kind of node.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bed.h"
#include "bed_main.h"
#include "json_fields.h"

namespace {

controller_fixture moving_volume()
{
    controller_fixture f = ebs_volume();
    stats_values later;
    for (int i = 0; i < 11; i++)
        later.counters[i] = (i + 1) * 1001;
    later.read_num_bins = 2;
    later.read_bins = {{0, 100, 505}, {100, 200, 7}};
    f.pages.push_back(stats_page(later));
    return f;
}

std::string report_of(const std::string& device)
{
    return "{\"time\": 1767225601.000, \"interval_seconds\": 1, \"volumes\": [{\"device\": \"" + device
        + "\", \"volume_id\": \"vol-0123456789abcdef0\", \"block_device\": \"sdf\", \"status\": \"ok\", "
          "\"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 1000, "
          "\"bytes_per_second\": 3000, \"latency_mean_seconds\": 5e-06, \"latency_p50_seconds\": 5e-05, "
          "\"latency_p50_above\": false, \"latency_p90_seconds\": 9e-05, \"latency_p90_above\": false, "
          "\"latency_p99_seconds\": 9.9e-05, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": "
          "2000, \"bytes_per_second\": 4000, \"latency_mean_seconds\": 3e-06, \"latency_p50_seconds\": null, "
          "\"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, "
          "\"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"queue_length\": 11011, "
          "\"exceeded\": {\"volume_iops\": 0.007, \"volume_throughput\": 0.008, \"instance_iops\": 0.009, "
          "\"instance_throughput\": 0.01}}]}\n";
}

TEST(top, operand_forms)
{
    const char* operands[][2] = {
        {"nvme0", "nvme0"},
        {"/dev/nvme0n1", "nvme0n1"},
        {"ng0n1", "ng0n1"},
        {"disk/by-id/nvme-Amazon_Elastic_Block_Store_vol0123456789abcdef0",
         "disk/by-id/nvme-Amazon_Elastic_Block_Store_vol0123456789abcdef0"},
        {"/dev/nvme3n1", "nvme3n1"}, // a multipath head
    };
    for (auto& operand : operands) {
        SCOPED_TRACE(operand[0]);
        bed_set_primary(moving_volume());
        run_result got = bed_volscan({"volscan", "top", "-j", "-n", "1", operand[0]});
        expect_json_stream(got.out, report_of(operand[1]));
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(bed_take_log().violations, std::vector<std::string>());
    }
}

TEST(top, refused_devices_as_stats_refuses_them)
{
    const char* operands[] = {"/dev/null", "nvme12", "nvme95n1", "nvme97n1", "nvme99"};
    for (const char* operand : operands) {
        SCOPED_TRACE(operand);
        bed_set_primary(moving_volume());
        run_result stats = bed_volscan({"volscan", "stats", operand});
        run_result top = bed_volscan({"volscan", "top", "-n", "1", operand});
        EXPECT_EQ(top.out, "");
        EXPECT_EQ(top.err, stats.err);
        EXPECT_EQ(top.status, stats.status);
        EXPECT_EQ(top.status, 1);
    }
    bed_set_primary(instance_storage());
    run_result got = bed_volscan({"volscan", "top", "nvme0n1"});
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "volscan: Not an EBS device: nvme0n1\n");
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(bed_take_log().violations, std::vector<std::string>());
}

} // namespace

int main(int argc, char** argv) { return run_tests_on_bed(argc, argv); }
