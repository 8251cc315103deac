// SPDX-License-Identifier: BSD-2-Clause
// volscan top on an emulated machine whose volumes' pages advance from
// sample to sample, on the bed's clock: every interval lasts exactly its
// nominal second, so text and JSON are compared byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <unistd.h>
#include <vector>

#include "fleet.h"
#include "json_fields.h"

namespace {

const std::string volscan = VOLSCAN_BINARY;
const std::vector<std::string> bed_clock = {"BED_FAST_SLEEP=1", "TZ=UTC"};

// Every run ends within seconds, whatever goes wrong.
run_result run(const std::vector<std::string>& argv)
{
    std::vector<std::string> words = {"timeout", "-s", "KILL", "20", volscan};
    words.insert(words.end(), argv.begin() + 1, argv.end());
    return fleet_run("/usr/bin/timeout", words, bed_clock);
}

run_result run_shell(const std::string& command)
{
    return fleet_run("/usr/bin/timeout", {"timeout", "-s", "KILL", "20", "/bin/sh", "-c", command},
                     bed_clock);
}

// Cumulative figures of one sample; reads are 4 KiB and writes 16 KiB.
struct sample {
    uint64_t reads, writes, read_us, write_us;
    uint64_t exceeded[4]; // volume IOPS, volume throughput, instance IOPS, instance throughput
    uint64_t queue;
    std::vector<uint32_t> read_bins, write_bins;
};

// 0-128, 128-256, 256-512, 512-1024, 1024-2048 us, and above 2048 us the bin
// without an upper bound.
const uint64_t bounds[] = {0, 128, 256, 512, 1024, 2048, UINT64_MAX};

page_bytes page(const sample& s)
{
    stats_values v;
    uint64_t counters[11] = {s.reads, s.writes, s.reads * 4096, s.writes * 16384, s.read_us,
                             s.write_us, s.exceeded[0], s.exceeded[1], s.exceeded[2],
                             s.exceeded[3], s.queue};
    std::copy(counters, counters + 11, v.counters);
    v.read_num_bins = v.write_num_bins = 6;
    for (int i = 0; i < 6; i++) {
        v.read_bins.push_back({bounds[i], bounds[i + 1], s.read_bins.at(i)});
        v.write_bins.push_back({bounds[i], bounds[i + 1], s.write_bins.at(i)});
    }
    return stats_page(v);
}

fleet_controller volume(int index, const std::vector<sample>& samples)
{
    fleet_controller c;
    c.fixture = fleet_ebs_volume(index);
    c.fixture.live = false;
    c.fixture.pages.clear();
    for (const sample& s : samples)
        c.fixture.pages.push_back(page(s));
    return c;
}

// nvme0: busy, throttled in the second interval, idle in the third.
// nvme1: a read bin that wraps its 32 bits at every interval.
// nvme2: its requests fail from the third sample on.
// nvme3: detached after its second sample.
// nvme4: attached again: its counters go back in the second interval.
// nvme5: an instance-storage disk, never shown.
std::vector<fleet_controller> machine()
{
    const uint32_t wrap = 4294967000u;
    fleet_controller failing = volume(2, {{10, 0, 5000, 0, {}, 0, {10, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
                                          {30, 0, 15000, 0, {}, 0, {30, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}}});
    failing.fixture.log_fail_from = 2;
    failing.fixture.log_errno = EIO;
    fleet_controller detached = volume(3, {{100, 100, 10000, 10000, {}, 1, {100, 0, 0, 0, 0, 0}, {100, 0, 0, 0, 0, 0}},
                                           {150, 120, 15000, 12000, {}, 1, {150, 0, 0, 0, 0, 0}, {120, 0, 0, 0, 0, 0}}});
    detached.detach_after_sample = 1;
    fleet_controller storage;
    storage.fixture = instance_storage();
    return {
        volume(0, {{1000, 500, 200000, 500000, {}, 1, {100, 600, 300, 0, 0, 0}, {0, 0, 100, 300, 100, 0}},
                   {3000, 1500, 600000, 1500000, {}, 3, {300, 1800, 900, 0, 0, 0}, {0, 0, 300, 900, 300, 0}},
                   {5000, 2500, 1100000, 6500000, {250000, 0, 0, 1000000}, 8, {300, 2800, 1400, 400, 100, 0}, {0, 0, 300, 900, 300, 1000}},
                   {5000, 2500, 1100000, 6500000, {250000, 0, 0, 1000000}, 0, {300, 2800, 1400, 400, 100, 0}, {0, 0, 300, 900, 300, 1000}}}),
        volume(1, {{4294967000u, 0, 0, 0, {}, 0, {0, wrap, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
                   {4294968000u, 0, 150000, 0, {}, 0, {0, wrap + 1000, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
                   {4294969000u, 0, 300000, 0, {}, 0, {0, wrap + 2000, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
                   {4294970000u, 0, 450000, 0, {}, 0, {0, wrap + 3000, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}}}),
        failing,
        detached,
        volume(4, {{600, 0, 60000, 0, {}, 2, {600, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
                   {10, 0, 1000, 0, {}, 2, {10, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}},
                   {50, 0, 5000, 0, {}, 2, {50, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}}}),
        storage,
    };
}

const char usage_lines[] =
    "usage: volscan id [-b] [-m] [-s] [-u] [-v] device\n"
    "       volscan-id [-b] [-m] [-s] [-u] [-v] device\n"
    "       volscan stats [-i interval] [-j] device\n"
    "       volscan-stats [-i interval] [-j] device\n";
const char top_usage[] = "usage: volscan top [-i seconds] [-n count] [-j] [device ...]\n";

const char header[] =
    "                                   ----- ops/s ----- ---- MiB/s ---- ------ read latency (us) ------ ----- write latency (us) ------       ----- limit exceeded (% of time) ------\n"
    "device       volume                    read    write    read   write    mean     p50     p90     p99    mean     p50     p90     p99 queue  vol-IOPS  vol-tput inst-IOPS inst-tput\n";

TEST(top, three_intervals_of_every_volume)
{
    fleet_scope bed(machine());
    run_result got = run({"volscan", "top", "-n", "3"});
    const std::string expected =
        "2026-01-01T00:00:01+0000  interval 1.000 s\n" + std::string(header)
        + "nvme0n1      vol-00000000000000000   2000.0   1000.0     7.8    15.6     200     213     427     503    1000     768    1536    1997     3       0.0       0.0       0.0       0.0\n"
        + "nvme1n1      vol-00000000000000001   1000.0      0.0     3.9     0.0     150     192     243     255       -       -       -       -     0       0.0       0.0       0.0       0.0\n"
        + "nvme2n1      vol-00000000000000002     20.0      0.0     0.1     0.0     500      64     115     127       -       -       -       -     0       0.0       0.0       0.0       0.0\n"
        + "nvme3n1      vol-00000000000000003     50.0     20.0     0.2     0.3     100      64     115     127     100      64     115     127     1       0.0       0.0       0.0       0.0\n"
        + "nvme4n1      vol-00000000000000004  counters went back (attached again?): new baseline\n"
        + "\n"
        "2026-01-01T00:00:02+0000  interval 1.000 s\n" + std::string(header)
        + "nvme0n1      vol-00000000000000000   2000.0   1000.0     7.8    15.6     250     256     896    1843    5000   >2048   >2048   >2048     8      25.0       0.0       0.0     100.0\n"
        + "nvme1n1      vol-00000000000000001   1000.0      0.0     3.9     0.0     150     192     243     255       -       -       -       -     0       0.0       0.0       0.0       0.0\n"
        + "nvme2n1      vol-00000000000000002  NVME_OPC_GET_LOG_PAGE failed: Input/output error\n"
        + "nvme4n1      vol-00000000000000004     40.0      0.0     0.2     0.0     100      64     115     127       -       -       -       -     2       0.0       0.0       0.0       0.0\n"
        + "\n"
        "2026-01-01T00:00:03+0000  interval 1.000 s\n" + std::string(header)
        + "nvme0n1      vol-00000000000000000      0.0      0.0     0.0     0.0       -       -       -       -       -       -       -       -     0       0.0       0.0       0.0       0.0\n"
        + "nvme1n1      vol-00000000000000001   1000.0      0.0     3.9     0.0     150     192     243     255       -       -       -       -     0       0.0       0.0       0.0       0.0\n"
        + "nvme2n1      vol-00000000000000002  NVME_OPC_GET_LOG_PAGE failed: Input/output error\n"
        + "nvme4n1      vol-00000000000000004      0.0      0.0     0.0     0.0       -       -       -       -       -       -       -       -     2       0.0       0.0       0.0       0.0\n"
        + "\n";
    EXPECT_EQ(got.out, expected);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

TEST(top, json_stream)
{
    fleet_scope bed(machine());
    run_result got = run({"volscan", "top", "-j", "-n", "3"});
    const std::string expected =
        "{\"time\": 1767225601.000, \"interval_seconds\": 1, \"volumes\": [{\"device\": \"nvme0n1\", \"volume_id\": \"vol-00000000000000000\", \"block_device\": \"xvdf\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 2000, \"bytes_per_second\": 8192000, \"latency_mean_seconds\": 0.0002, \"latency_p50_seconds\": 0.000213333333, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.000426666667, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.000503466667, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 1000, \"bytes_per_second\": 16384000, \"latency_mean_seconds\": 0.001, \"latency_p50_seconds\": 0.000768, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.001536, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.0019968, \"latency_p99_above\": false}, \"queue_length\": 3, \"exceeded\": {\"volume_iops\": 0, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 0}}"
        ", {\"device\": \"nvme1n1\", \"volume_id\": \"vol-00000000000000001\", \"block_device\": \"xvdg\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 1000, \"bytes_per_second\": 4096000, \"latency_mean_seconds\": 0.00015, \"latency_p50_seconds\": 0.000192, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.0002432, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.00025472, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 0, \"bytes_per_second\": 0, \"latency_mean_seconds\": null, \"latency_p50_seconds\": null, \"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, \"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"queue_length\": 0, \"exceeded\": {\"volume_iops\": 0, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 0}}"
        ", {\"device\": \"nvme2n1\", \"volume_id\": \"vol-00000000000000002\", \"block_device\": \"xvdh\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 20, \"bytes_per_second\": 81920, \"latency_mean_seconds\": 0.0005, \"latency_p50_seconds\": 6.4e-05, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.0001152, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.00012672, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 0, \"bytes_per_second\": 0, \"latency_mean_seconds\": null, \"latency_p50_seconds\": null, \"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, \"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"queue_length\": 0, \"exceeded\": {\"volume_iops\": 0, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 0}}"
        ", {\"device\": \"nvme3n1\", \"volume_id\": \"vol-00000000000000003\", \"block_device\": \"xvdi\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 50, \"bytes_per_second\": 204800, \"latency_mean_seconds\": 0.0001, \"latency_p50_seconds\": 6.4e-05, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.0001152, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.00012672, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 20, \"bytes_per_second\": 327680, \"latency_mean_seconds\": 0.0001, \"latency_p50_seconds\": 6.4e-05, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.0001152, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.00012672, \"latency_p99_above\": false}, \"queue_length\": 1, \"exceeded\": {\"volume_iops\": 0, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 0}}"
        ", {\"device\": \"nvme4n1\", \"volume_id\": \"vol-00000000000000004\", \"block_device\": \"xvdj\", \"status\": \"restarted\", \"error\": null, \"interval_seconds\": null, \"read\": null, \"write\": null, \"queue_length\": null, \"exceeded\": null}]}\n"
        "{\"time\": 1767225602.000, \"interval_seconds\": 1, \"volumes\": [{\"device\": \"nvme0n1\", \"volume_id\": \"vol-00000000000000000\", \"block_device\": \"xvdf\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 2000, \"bytes_per_second\": 8192000, \"latency_mean_seconds\": 0.00025, \"latency_p50_seconds\": 0.000256, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.000896, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.0018432, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 1000, \"bytes_per_second\": 16384000, \"latency_mean_seconds\": 0.005, \"latency_p50_seconds\": 0.002048, \"latency_p50_above\": true, \"latency_p90_seconds\": 0.002048, \"latency_p90_above\": true, \"latency_p99_seconds\": 0.002048, \"latency_p99_above\": true}, \"queue_length\": 8, \"exceeded\": {\"volume_iops\": 0.25, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 1}}"
        ", {\"device\": \"nvme1n1\", \"volume_id\": \"vol-00000000000000001\", \"block_device\": \"xvdg\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 1000, \"bytes_per_second\": 4096000, \"latency_mean_seconds\": 0.00015, \"latency_p50_seconds\": 0.000192, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.0002432, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.00025472, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 0, \"bytes_per_second\": 0, \"latency_mean_seconds\": null, \"latency_p50_seconds\": null, \"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, \"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"queue_length\": 0, \"exceeded\": {\"volume_iops\": 0, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 0}}"
        ", {\"device\": \"nvme2n1\", \"volume_id\": \"vol-00000000000000002\", \"block_device\": \"xvdh\", \"status\": \"failed\", \"error\": \"NVME_OPC_GET_LOG_PAGE failed: Input/output error\", \"interval_seconds\": null, \"read\": null, \"write\": null, \"queue_length\": null, \"exceeded\": null}"
        ", {\"device\": \"nvme4n1\", \"volume_id\": \"vol-00000000000000004\", \"block_device\": \"xvdj\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 40, \"bytes_per_second\": 163840, \"latency_mean_seconds\": 0.0001, \"latency_p50_seconds\": 6.4e-05, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.0001152, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.00012672, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 0, \"bytes_per_second\": 0, \"latency_mean_seconds\": null, \"latency_p50_seconds\": null, \"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, \"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"queue_length\": 2, \"exceeded\": {\"volume_iops\": 0, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 0}}]}\n"
        "{\"time\": 1767225603.000, \"interval_seconds\": 1, \"volumes\": [{\"device\": \"nvme0n1\", \"volume_id\": \"vol-00000000000000000\", \"block_device\": \"xvdf\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 0, \"bytes_per_second\": 0, \"latency_mean_seconds\": null, \"latency_p50_seconds\": null, \"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, \"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 0, \"bytes_per_second\": 0, \"latency_mean_seconds\": null, \"latency_p50_seconds\": null, \"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, \"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"queue_length\": 0, \"exceeded\": {\"volume_iops\": 0, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 0}}"
        ", {\"device\": \"nvme1n1\", \"volume_id\": \"vol-00000000000000001\", \"block_device\": \"xvdg\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 1000, \"bytes_per_second\": 4096000, \"latency_mean_seconds\": 0.00015, \"latency_p50_seconds\": 0.000192, \"latency_p50_above\": false, \"latency_p90_seconds\": 0.0002432, \"latency_p90_above\": false, \"latency_p99_seconds\": 0.00025472, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 0, \"bytes_per_second\": 0, \"latency_mean_seconds\": null, \"latency_p50_seconds\": null, \"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, \"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"queue_length\": 0, \"exceeded\": {\"volume_iops\": 0, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 0}}"
        ", {\"device\": \"nvme2n1\", \"volume_id\": \"vol-00000000000000002\", \"block_device\": \"xvdh\", \"status\": \"failed\", \"error\": \"NVME_OPC_GET_LOG_PAGE failed: Input/output error\", \"interval_seconds\": null, \"read\": null, \"write\": null, \"queue_length\": null, \"exceeded\": null}"
        ", {\"device\": \"nvme4n1\", \"volume_id\": \"vol-00000000000000004\", \"block_device\": \"xvdj\", \"status\": \"ok\", \"error\": null, \"interval_seconds\": 1, \"read\": {\"ops_per_second\": 0, \"bytes_per_second\": 0, \"latency_mean_seconds\": null, \"latency_p50_seconds\": null, \"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, \"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"write\": {\"ops_per_second\": 0, \"bytes_per_second\": 0, \"latency_mean_seconds\": null, \"latency_p50_seconds\": null, \"latency_p50_above\": false, \"latency_p90_seconds\": null, \"latency_p90_above\": false, \"latency_p99_seconds\": null, \"latency_p99_above\": false}, \"queue_length\": 2, \"exceeded\": {\"volume_iops\": 0, \"volume_throughput\": 0, \"instance_iops\": 0, \"instance_throughput\": 0}}]}\n";
    expect_json_stream(got.out, expected);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

// One device: its row, then the shape of its read and write latencies.
TEST(top, latency_bars_of_one_device)
{
    fleet_scope bed(machine());
    run_result got = run({"volscan", "top", "-n", "2", "/dev/nvme0"});
    const std::string expected =
        "2026-01-01T00:00:01+0000  interval 1.000 s\n" + std::string(header)
        + "nvme0        vol-00000000000000000   2000.0   1000.0     7.8    15.6     200     213     427     503    1000     768    1536    1997     3       0.0       0.0       0.0       0.0\n"
          "  read latency, 2000 operations:\n"
          "          0us - 128us            200 #######\n"
          "        128us - 256us           1200 ########################################\n"
          "        256us - 512us            600 ####################\n"
          "  write latency, 1000 operations:\n"
          "        256us - 512us            200 ##############\n"
          "        512us - 1.024ms          600 ########################################\n"
          "      1.024ms - 2.048ms          200 ##############\n"
          "\n"
          "2026-01-01T00:00:02+0000  interval 1.000 s\n" + header
        + "nvme0        vol-00000000000000000   2000.0   1000.0     7.8    15.6     250     256     896    1843    5000   >2048   >2048   >2048     8      25.0       0.0       0.0     100.0\n"
          "  read latency, 2000 operations:\n"
          "        128us - 256us           1000 ########################################\n"
          "        256us - 512us            500 ####################\n"
          "        512us - 1.024ms          400 ################\n"
          "      1.024ms - 2.048ms          100 ####\n"
          "  write latency, 1000 operations:\n"
          "      2.048ms - inf             1000 ########################################\n"
          "\n";
    EXPECT_EQ(got.out, expected);
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(got.status, 0);
}

// Command lines and operands: each row the whole answer.
struct top_case {
    std::vector<std::string> argv;
    std::string out;
    std::string err;
    int status;
};

TEST(top, command_lines_and_operands)
{
    auto interval_wanted = [](const std::string& value) {
        return "volscan: invalid -i: " + value
            + " (seconds between reports: a whole number from 1 to 4294967295)\n" + top_usage;
    };
    auto count_wanted = [](const std::string& value) {
        return "volscan: invalid -n: " + value
            + " (reports before it stops: a whole number from 1 to 4294967295)\n" + top_usage;
    };
    const std::string help_start = "usage: volscan id [-b] [-m] [-s] [-u] [-v] device\n";
    const top_case cases[] = {
        {{"volscan", "top", "-x"}, "", "volscan: invalid option -- 'x'\n" + std::string(top_usage), 1},
        {{"volscan", "top", "-b", "nvme0"}, "", "volscan: invalid option -- 'b'\n" + std::string(top_usage), 1},
        {{"volscan", "top", "-n"}, "", "volscan: option requires an argument -- 'n'\n" + std::string(top_usage), 1},
        // A value out of range or not a whole number: what the option wants, then the usage line.
        {{"volscan", "top", "-i", "0"}, "", interval_wanted("0"), 1},
        {{"volscan", "top", "-i", "1.5"}, "", interval_wanted("1.5"), 1},
        {{"volscan", "top", "-i", "x"}, "", interval_wanted("x"), 1},
        {{"volscan", "top", "-i", ""}, "", interval_wanted(""), 1},
        {{"volscan", "top", "-i", "4294967296"}, "", interval_wanted("4294967296"), 1},
        {{"volscan", "top", "-n", "0"}, "", count_wanted("0"), 1},
        {{"volscan", "top", "-n", "-1"}, "", count_wanted("-1"), 1},
        {{"volscan", "top", "-n", "4294967296"}, "", count_wanted("4294967296"), 1},
        {{"volscan", "top", "-n", "1", "nvme0", "-j"}, "", "volscan: could not open /dev/-j: No such file or directory\n", 1},
        {{"volscan", "top", "nvme99"}, "", "volscan: could not open /dev/nvme99: No such file or directory\n", 1},
        {{"volscan", "top", "nvme0", "nvme5"}, "", "volscan: Not an EBS device: nvme5\n", 1},
        {{"volscan", "--version"}, "volscan " VOLSCAN_VERSION "\n", "", 0},
        {{"volscan-id", "--version", "nvme0"}, "volscan " VOLSCAN_VERSION "\n", "", 0},
        // Only as the first word: elsewhere it is the invalid option it always was.
        {{"volscan", "id", "--help"}, "", "volscan: invalid option -- '-'\n" + std::string(usage_lines), 1},
    };
    fleet_scope bed(machine());
    for (const top_case& c : cases) {
        std::string command;
        for (const std::string& word : c.argv)
            command += " " + word;
        SCOPED_TRACE(command);
        run_result got = run(c.argv);
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, c.status);
    }
    for (const char* name : {"volscan", "volscan-stats"}) {
        run_result help = run({name, "--help"});
        EXPECT_EQ(help.out.substr(0, help_start.size()), help_start);
        EXPECT_NE(help.out.find("\n       volscan top [-i seconds] [-n count] [-j] [device ...]\n"),
                  std::string::npos);
        for (const char* option : {"\n  -i N ", "\n  -j ", "\n  -n N ", "\n  -b, -u ", "\n  -m ",
                                   "\n  -s ", "\n  -v ", "\n  --help ", "\n  --version "})
            EXPECT_NE(help.out.find(option), std::string::npos) << option;
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.status, 0);
    }
}

// The stream is for scripts: jq reads it as it stands, and output that cannot
// be written ends the run as stats polling does.
TEST(top, json_through_jq_and_lost_output)
{
    fleet_scope bed(machine());
    run_result piped = run_shell(volscan + " top -j -n 3 | jq -c '[.volumes[] | [.device, .status]]'");
    EXPECT_EQ(piped.out,
              "[[\"nvme0n1\",\"ok\"],[\"nvme1n1\",\"ok\"],[\"nvme2n1\",\"ok\"],[\"nvme3n1\",\"ok\"],[\"nvme4n1\",\"restarted\"]]\n"
              "[[\"nvme0n1\",\"ok\"],[\"nvme1n1\",\"ok\"],[\"nvme2n1\",\"failed\"],[\"nvme4n1\",\"ok\"]]\n"
              "[[\"nvme0n1\",\"ok\"],[\"nvme1n1\",\"ok\"],[\"nvme2n1\",\"failed\"],[\"nvme4n1\",\"ok\"]]\n");
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.status, 0);
    run_result full = run_shell("exec " + volscan + " top -n 2 nvme0 >/dev/full");
    EXPECT_EQ(full.err, "volscan: stdout: No space left on device\n");
    EXPECT_EQ(full.status, 1);
}

// A volume attached while top runs joins once it has a first interval of its
// own. On the real clock: samples at 0, 2, 4 and 6 s, the attachment at 3 s.
TEST(top, an_attached_volume_joins)
{
    std::vector<fleet_controller> controllers(2);
    controllers[0].fixture = fleet_ebs_volume(0);
    controllers[1].fixture = fleet_ebs_volume(1);
    controllers[1].attached = false;
    fleet_scope bed(controllers);
    fleet_process top = fleet_spawn(volscan, {"volscan", "top", "-j", "-i", "2", "-n", "3"});
    while (fleet_seconds() < 3)
        usleep(10000);
    fleet_attach(1);
    run_result got = fleet_finish(top, 0);
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = got.out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(got.out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 3u) << got.out;
    const bool joined[] = {false, false, true};
    for (int i = 0; i < 3; i++) {
        EXPECT_NE(lines[i].find("\"device\": \"nvme0n1\""), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].find("\"device\": \"nvme1n1\"") != std::string::npos, joined[i]) << lines[i];
    }
    EXPECT_EQ(got.status, 0);
}

TEST(top, a_machine_without_volumes)
{
    fleet_controller storage;
    storage.fixture = instance_storage();
    fleet_scope bed({storage});
    run_result got = run({"volscan", "top", "-n", "1"});
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "volscan: no EBS volume on this machine\n");
    EXPECT_EQ(got.status, 1);
}

} // namespace
