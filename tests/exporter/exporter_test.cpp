// SPDX-License-Identifier: BSD-2-Clause
// volscan-exporter on emulated fleets: options, the page of a fleet with
// every kind of controller, both ways out, and clients that misbehave.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace {

const char usage[] =
    "usage: volscan-exporter [--web.listen-address=[HOST]:PORT] [--web.telemetry-path=PATH]\n"
    "                        [--web.max-connections=N] [--web.max-connections-per-address=N]\n"
    "                        [--web.config.file=FILE] [--web.user=USER]\n"
    "                        [--scrape.timeout=SECONDS] [--scrape.threads=N]\n"
    "                        [--collector.latency-buckets=LIST]\n"
    "       volscan-exporter --textfile.output=FILE [--textfile.interval=SECONDS]\n"
    "                        [--scrape.timeout=SECONDS] [--scrape.threads=N]\n"
    "                        [--collector.latency-buckets=LIST]\n"
    "       volscan-exporter --help | --version\n";

// Page of the example volume: counters 1 to 11, read bins (0, 100, 5) and (100, 200, 7).
controller_fixture example_volume(int index)
{
    controller_fixture f = fleet_ebs_volume(index);
    f.live = false;
    f.pages = ebs_volume().pages;
    return f;
}

controller_fixture failing(controller_fixture f, int from, int error)
{
    f.log_fail_from = from;
    f.log_errno = error;
    return f;
}

// nvme0 the example volume; nvme1 an instance-storage disk; nvme2 another
// vendor's; nvme3 a volume whose statistics request fails; nvme4 a volume on
// a multipath path, its head nvme44n1; nvme5 a volume that fails Identify.
std::vector<fleet_controller> mixed_fleet()
{
    fleet_controller multipath = plain(example_volume(4));
    multipath.multipath = true;
    controller_fixture no_identify = example_volume(5);
    no_identify.identify_errno = EIO;
    return {plain(example_volume(0)), plain(instance_storage()), plain(other_vendor()),
            plain(failing(example_volume(3), 0, EIO)), multipath, plain(no_identify)};
}


// Durations change from run to run: the page without them, and their count.
std::string without_durations(const std::string& page, int* durations)
{
    std::string kept;
    *durations = 0;
    size_t at = 0;
    while (at < page.size()) {
        size_t end = page.find('\n', at) + 1;
        if (page.compare(at, 28, "ebs_scrape_duration_seconds{") == 0)
            ++*durations;
        else
            kept += page.substr(at, end - at);
        at = end;
    }
    return kept;
}

std::vector<std::string> folder_entries(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.' || (strcmp(entry->d_name, ".") && strcmp(entry->d_name, "..")))
            names.push_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

const char mixed_page[] = R"(# HELP ebs_read_ops_total Read operations completed by the volume.
# TYPE ebs_read_ops_total counter
ebs_read_ops_total{volume_id="vol-00000000000000000",device="nvme0n1"} 1
ebs_read_ops_total{volume_id="vol-00000000000000004",device="nvme44n1"} 1
# HELP ebs_write_ops_total Write operations completed by the volume.
# TYPE ebs_write_ops_total counter
ebs_write_ops_total{volume_id="vol-00000000000000000",device="nvme0n1"} 2
ebs_write_ops_total{volume_id="vol-00000000000000004",device="nvme44n1"} 2
# HELP ebs_read_bytes_total Bytes read from the volume.
# TYPE ebs_read_bytes_total counter
ebs_read_bytes_total{volume_id="vol-00000000000000000",device="nvme0n1"} 3
ebs_read_bytes_total{volume_id="vol-00000000000000004",device="nvme44n1"} 3
# HELP ebs_write_bytes_total Bytes written to the volume.
# TYPE ebs_write_bytes_total counter
ebs_write_bytes_total{volume_id="vol-00000000000000000",device="nvme0n1"} 4
ebs_write_bytes_total{volume_id="vol-00000000000000004",device="nvme44n1"} 4
# HELP ebs_read_seconds_total Time spent in read operations, summed over all of them.
# TYPE ebs_read_seconds_total counter
ebs_read_seconds_total{volume_id="vol-00000000000000000",device="nvme0n1"} 0.000005
ebs_read_seconds_total{volume_id="vol-00000000000000004",device="nvme44n1"} 0.000005
# HELP ebs_write_seconds_total Time spent in write operations, summed over all of them.
# TYPE ebs_write_seconds_total counter
ebs_write_seconds_total{volume_id="vol-00000000000000000",device="nvme0n1"} 0.000006
ebs_write_seconds_total{volume_id="vol-00000000000000004",device="nvme44n1"} 0.000006
# HELP ebs_volume_performance_exceeded_iops_seconds_total Time for which the application asked for more IOPS than the volume is provisioned for.
# TYPE ebs_volume_performance_exceeded_iops_seconds_total counter
ebs_volume_performance_exceeded_iops_seconds_total{volume_id="vol-00000000000000000",device="nvme0n1"} 0.000007
ebs_volume_performance_exceeded_iops_seconds_total{volume_id="vol-00000000000000004",device="nvme44n1"} 0.000007
# HELP ebs_volume_performance_exceeded_throughput_seconds_total Time for which the application asked for more throughput than the volume is provisioned for.
# TYPE ebs_volume_performance_exceeded_throughput_seconds_total counter
ebs_volume_performance_exceeded_throughput_seconds_total{volume_id="vol-00000000000000000",device="nvme0n1"} 0.000008
ebs_volume_performance_exceeded_throughput_seconds_total{volume_id="vol-00000000000000004",device="nvme44n1"} 0.000008
# HELP ebs_instance_performance_exceeded_iops_seconds_total Time for which the application asked for more EBS IOPS than the instance supports.
# TYPE ebs_instance_performance_exceeded_iops_seconds_total counter
ebs_instance_performance_exceeded_iops_seconds_total{volume_id="vol-00000000000000000",device="nvme0n1"} 0.000009
ebs_instance_performance_exceeded_iops_seconds_total{volume_id="vol-00000000000000004",device="nvme44n1"} 0.000009
# HELP ebs_instance_performance_exceeded_throughput_seconds_total Time for which the application asked for more EBS throughput than the instance supports.
# TYPE ebs_instance_performance_exceeded_throughput_seconds_total counter
ebs_instance_performance_exceeded_throughput_seconds_total{volume_id="vol-00000000000000000",device="nvme0n1"} 0.00001
ebs_instance_performance_exceeded_throughput_seconds_total{volume_id="vol-00000000000000004",device="nvme44n1"} 0.00001
# HELP ebs_volume_queue_length Operations in the volume's queue at the moment of the scrape.
# TYPE ebs_volume_queue_length gauge
ebs_volume_queue_length{volume_id="vol-00000000000000000",device="nvme0n1"} 11
ebs_volume_queue_length{volume_id="vol-00000000000000004",device="nvme44n1"} 11
# HELP ebs_read_latency_seconds Latency of read operations, from the volume's histogram. _sum is the volume's total read time (ebs_read_seconds_total), so _sum / _count is the mean read latency only as far as the histogram's bins hold every read.
# TYPE ebs_read_latency_seconds histogram
ebs_read_latency_seconds_bucket{volume_id="vol-00000000000000000",device="nvme0n1",le="0.0001"} 5
ebs_read_latency_seconds_bucket{volume_id="vol-00000000000000000",device="nvme0n1",le="0.0002"} 12
ebs_read_latency_seconds_bucket{volume_id="vol-00000000000000000",device="nvme0n1",le="+Inf"} 12
ebs_read_latency_seconds_sum{volume_id="vol-00000000000000000",device="nvme0n1"} 0.000005
ebs_read_latency_seconds_count{volume_id="vol-00000000000000000",device="nvme0n1"} 12
ebs_read_latency_seconds_bucket{volume_id="vol-00000000000000004",device="nvme44n1",le="0.0001"} 5
ebs_read_latency_seconds_bucket{volume_id="vol-00000000000000004",device="nvme44n1",le="0.0002"} 12
ebs_read_latency_seconds_bucket{volume_id="vol-00000000000000004",device="nvme44n1",le="+Inf"} 12
ebs_read_latency_seconds_sum{volume_id="vol-00000000000000004",device="nvme44n1"} 0.000005
ebs_read_latency_seconds_count{volume_id="vol-00000000000000004",device="nvme44n1"} 12
# HELP ebs_write_latency_seconds Latency of write operations, from the volume's histogram. _sum is the volume's total write time (ebs_write_seconds_total), so _sum / _count is the mean write latency only as far as the histogram's bins hold every write.
# TYPE ebs_write_latency_seconds histogram
ebs_write_latency_seconds_bucket{volume_id="vol-00000000000000000",device="nvme0n1",le="+Inf"} 0
ebs_write_latency_seconds_sum{volume_id="vol-00000000000000000",device="nvme0n1"} 0.000006
ebs_write_latency_seconds_count{volume_id="vol-00000000000000000",device="nvme0n1"} 0
ebs_write_latency_seconds_bucket{volume_id="vol-00000000000000004",device="nvme44n1",le="+Inf"} 0
ebs_write_latency_seconds_sum{volume_id="vol-00000000000000004",device="nvme44n1"} 0.000006
ebs_write_latency_seconds_count{volume_id="vol-00000000000000004",device="nvme44n1"} 0
# HELP ebs_volume_info Identity of an EBS volume: block_device is the name the platform reports for it (the name it was attached under).
# TYPE ebs_volume_info gauge
ebs_volume_info{volume_id="vol-00000000000000000",device="nvme0n1",block_device="xvdf",model="Amazon Elastic Block Store",serial="vol00000000000000000"} 1
ebs_volume_info{volume_id="vol-00000000000000003",device="nvme3n1",block_device="xvdi",model="Amazon Elastic Block Store",serial="vol00000000000000003"} 1
ebs_volume_info{volume_id="vol-00000000000000004",device="nvme44n1",block_device="xvdj",model="Amazon Elastic Block Store",serial="vol00000000000000004"} 1
# HELP ec2_instance_storage_info Identity of an instance-storage disk.
# TYPE ec2_instance_storage_info gauge
ec2_instance_storage_info{device="nvme1n1",model="Amazon EC2 NVMe Instance Storage",serial="AWS1234567890ABCDEF0"} 1
# HELP ebs_scrape_success 1 when this scrape read the device's identity and, for an EBS volume, its statistics; 0 when a request failed.
# TYPE ebs_scrape_success gauge
ebs_scrape_success{volume_id="vol-00000000000000000",device="nvme0n1"} 1
ebs_scrape_success{device="nvme1n1"} 1
ebs_scrape_success{volume_id="vol-00000000000000003",device="nvme3n1"} 0
ebs_scrape_success{volume_id="vol-00000000000000004",device="nvme44n1"} 1
ebs_scrape_success{device="nvme5n1"} 0
# HELP ebs_scrape_duration_seconds Time this scrape spent on the device's requests.
# TYPE ebs_scrape_duration_seconds gauge
# HELP ebs_volumes EBS volumes this scrape found; a volume reached through several controllers counts once.
# TYPE ebs_volumes gauge
ebs_volumes 3
# HELP ebs_instance_storage_disks Instance-storage NVMe disks this scrape found.
# TYPE ebs_instance_storage_disks gauge
ebs_instance_storage_disks 1
)";

} // namespace

TEST(options, misuse_and_information)
{
    fleet_scope bed({});
    const std::string buckets_rule = "(1 to 64 rising upper bounds in seconds, comma-separated, "
                                     "each a whole number of microseconds up to 3600 seconds)\n";
    struct row {
        std::vector<std::string> argv;
        std::string out, err;
        int status;
    } rows[] = {
        {{"--version"}, "volscan-exporter 1.0.0\n", "", 0},
        {{"--bogus"}, "", std::string("volscan-exporter: unrecognized option '--bogus'\n") + usage, 1},
        {{"--web.listen-address"}, "",
         std::string("volscan-exporter: option '--web.listen-address' requires an argument\n") + usage, 1},
        {{"--web.listen-address=9720"}, "",
         std::string("volscan-exporter: invalid --web.listen-address: 9720\n") + usage, 1},
        {{"--web.listen-address=:0"}, "",
         std::string("volscan-exporter: invalid --web.listen-address: :0\n") + usage, 1},
        {{"--web.listen-address=::1:80"}, "",
         std::string("volscan-exporter: invalid --web.listen-address: ::1:80\n") + usage, 1},
        {{"--web.listen-address=127.0.0.1:65536"}, "",
         std::string("volscan-exporter: invalid --web.listen-address: 127.0.0.1:65536\n") + usage, 1},
        {{"--web.telemetry-path=metrics"}, "",
         std::string("volscan-exporter: invalid --web.telemetry-path: metrics\n") + usage, 1},
        {{"--web.telemetry-path=/"}, "",
         std::string("volscan-exporter: invalid --web.telemetry-path: /\n") + usage, 1},
        {{"--web.telemetry-path=/<b>"}, "",
         std::string("volscan-exporter: invalid --web.telemetry-path: /<b>\n") + usage, 1},
        {{"--web.max-connections=0"}, "",
         std::string("volscan-exporter: invalid --web.max-connections: 0 (1 to 1024)\n") + usage, 1},
        // At most --web.max-connections, whichever order they come in.
        {{"--web.max-connections-per-address=9", "--web.max-connections=8"}, "",
         std::string("volscan-exporter: invalid --web.max-connections-per-address: 9 (1 to 8)\n")
             + usage, 1},
        {{"--web.max-connections-per-address=33"}, "",
         std::string("volscan-exporter: invalid --web.max-connections-per-address: 33 (1 to 32)\n")
             + usage, 1},
        {{"--web.max-connections-per-address=0"}, "",
         std::string("volscan-exporter: invalid --web.max-connections-per-address: 0 (1 to 32)\n")
             + usage, 1},
        {{"--web.ipv6-prefix-length=0"}, "",
         std::string("volscan-exporter: invalid --web.ipv6-prefix-length: 0 (1 to 128)\n") + usage, 1},
        {{"--web.ipv6-prefix-length=129"}, "",
         std::string("volscan-exporter: invalid --web.ipv6-prefix-length: 129 (1 to 128)\n") + usage, 1},
        {{"--textfile.interval=5"}, "",
         std::string("volscan-exporter: --textfile.interval needs --textfile.output\n") + usage, 1},
        {{"--textfile.output=/tmp/x.prom", "--textfile.interval=-1"}, "",
         std::string("volscan-exporter: invalid --textfile.interval: -1 (0 to 86400 seconds)\n") + usage, 1},
        {{"--textfile.output=/tmp/x.prom", "--textfile.interval=1s"}, "",
         std::string("volscan-exporter: invalid --textfile.interval: 1s (0 to 86400 seconds)\n") + usage, 1},
        {{"--textfile.output=/tmp/x.prom", "--web.listen-address=:9100"}, "",
         std::string("volscan-exporter: --textfile.output: the --web options have no use with "
                     "--textfile.output\n") + usage, 1},
        {{"--textfile.output=/tmp/x.prom", "--web.config.file=/etc/web.yml"}, "",
         std::string("volscan-exporter: --textfile.output: the --web options have no use with "
                     "--textfile.output\n") + usage, 1},
        {{"--web.config.file="}, "",
         std::string("volscan-exporter: invalid --web.config.file: \n") + usage, 1},
        {{"metrics"}, "", std::string("volscan-exporter: unexpected argument: metrics\n") + usage, 1},
        {{"--scrape.timeout=0"}, "",
         std::string("volscan-exporter: invalid --scrape.timeout: 0 (more than 0 to 3600 "
                     "seconds)\n") + usage, 1},
        {{"--scrape.timeout=1e3"}, "",
         std::string("volscan-exporter: invalid --scrape.timeout: 1e3 (more than 0 to 3600 "
                     "seconds)\n") + usage, 1},
        {{"--scrape.timeout=3600.5"}, "",
         std::string("volscan-exporter: invalid --scrape.timeout: 3600.5 (more than 0 to 3600 "
                     "seconds)\n") + usage, 1},
        {{"--scrape.threads=0"}, "",
         std::string("volscan-exporter: invalid --scrape.threads: 0 (1 to 64)\n") + usage, 1},
        {{"--scrape.threads=65"}, "",
         std::string("volscan-exporter: invalid --scrape.threads: 65 (1 to 64)\n") + usage, 1},
        {{"--web.user="}, "", std::string("volscan-exporter: invalid --web.user: \n") + usage, 1},
        {{"--textfile.output=/tmp/x.prom", "--web.user=nobody"}, "",
         std::string("volscan-exporter: --textfile.output: the --web options have no use with "
                     "--textfile.output\n") + usage, 1},
        // Rising bounds in whole microseconds up to an hour, at most one for each bin.
        {{"--collector.latency-buckets="}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets:  ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=0"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 0 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=0.0005,0.0005"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 0.0005,0.0005 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=0.001,0.0005"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 0.001,0.0005 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=0.0000005"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 0.0000005 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=3600.000001"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 3600.000001 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=1e-3"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 1e-3 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=0.001,"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 0.001, ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=,0.001"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: ,0.001 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=0.001;0.002"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 0.001;0.002 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=-1"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: -1 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=10000"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 10000 ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=."}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: . ") + buckets_rule
             + usage, 1},
        {{"--collector.latency-buckets=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,56,57,58,59,60,61,62,63,64,65"}, "",
         std::string("volscan-exporter: invalid --collector.latency-buckets: 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,56,57,58,59,60,61,62,63,64,65 ") + buckets_rule
             + usage, 1},
        // Known only once the options are taken: no usage.
        {{"--web.user=no-such-user-here"}, "",
         "volscan-exporter: cannot find user no-such-user-here: no such user (create it, or "
         "choose another with --web.user=USER)\n", 1},
        {{"--web.user=root"}, "", "volscan-exporter: invalid --web.user: root is the superuser\n", 1},
    };
    for (const row& r : rows) {
        std::vector<std::string> argv = {"volscan-exporter"};
        argv.insert(argv.end(), r.argv.begin(), r.argv.end());
        run_result result = fleet_run(exporter_binary, argv);
        EXPECT_EQ(result.out, r.out) << r.argv[0];
        EXPECT_EQ(result.err, r.err) << r.argv[0];
        EXPECT_EQ(result.status, r.status) << r.argv[0];
    }
    run_result help = fleet_run(exporter_binary, {"volscan-exporter", "--help"});
    EXPECT_EQ(help.out.compare(0, sizeof usage - 1, usage), 0) << help.out;
    EXPECT_NE(help.out.find("  --web.user=USER                   user the metrics side runs as, when "
                            "started as\n                                    root (default "
                            "\"volscan-exporter\")\n"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.status, 0);
}

// The metrics side's default user is one of its own, not nobody, which other
// daemons share. Whether the machine has that user is the packages' business:
// the exporter runs here in a mount namespace whose /etc/passwd and /etc/group
// are the machine's less that user, and then with it added.
TEST(options, default_user_is_its_own)
{
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    temporary_folder folder;
    const unsigned id = 64123; // the user's and its group's, checked free below
    ASSERT_EQ(getpwuid(id), nullptr);
    ASSERT_EQ(getgrgid(id), nullptr);
    int status;
    shell("grep -v '^volscan-exporter:' /etc/passwd >'" + folder.path + "/passwd-without' && "
          "grep -v '^volscan-exporter:' /etc/group >'" + folder.path + "/group-without' && "
          "cp '" + folder.path + "/passwd-without' '" + folder.path + "/passwd-with' && "
          "cp '" + folder.path + "/group-without' '" + folder.path + "/group-with' && "
          "echo 'volscan-exporter:x:64123:64123::/nonexistent:/usr/sbin/nologin' >>'"
              + folder.path + "/passwd-with' && "
          "echo 'volscan-exporter:x:64123:' >>'" + folder.path + "/group-with'", &status);
    ASSERT_EQ(status, 0);
    // in_namespace(SUFFIX, PORT, RUNNER): the exporter's command line, under
    // the files SUFFIX, started by RUNNER (exec, or a time limit).
    auto in_namespace = [&](const std::string& suffix, int port, const std::string& runner) {
        return std::vector<std::string>{
            "unshare", "--mount", "--propagation=private", "sh", "-c",
            "mount --bind \"$0-" + suffix + "\" /etc/passwd && "
            "mount --bind \"$1-" + suffix + "\" /etc/group && shift && " + runner + " \"$@\"",
            folder.path + "/passwd", folder.path + "/group", exporter_binary,
            "--web.listen-address=127.0.0.1:" + std::to_string(port)};
    };

    // Bounded: an exporter that found a user would serve until stopped.
    run_result missing =
        fleet_run("/usr/bin/unshare", in_namespace("without", free_port(), "exec timeout 5"));
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "volscan-exporter: cannot find user volscan-exporter: no such user "
                           "(create it, or choose another with --web.user=USER)\n");
    EXPECT_EQ(missing.status, 1);

    int port = free_port();
    fleet_process exporter = fleet_spawn("/usr/bin/unshare", in_namespace("with", port, "exec"));
    if (!wait_for_port(port, 5000)) {
        run_result failed = fleet_finish(exporter, SIGKILL);
        FAIL() << "not listening: " << failed.err;
    }
    EXPECT_EQ(http_status(http_get(port, "/metrics")), 200);
    // unshare and sh exec the exporter: the process started is the metrics side.
    std::string status_text = read_file("/proc/" + std::to_string(exporter.pid) + "/status");
    EXPECT_NE(status_text.find("\nUid:\t64123\t64123\t64123\t64123\n"), std::string::npos)
        << status_text;
    EXPECT_NE(status_text.find("\nGid:\t64123\t64123\t64123\t64123\n"), std::string::npos)
        << status_text;
    run_result served = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(served.out, "");
    EXPECT_EQ(served.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(served.status, 0);
}

TEST(textfile, page_of_a_mixed_fleet)
{
    fleet_scope bed(mixed_fleet());
    temporary_folder folder;
    std::string path = folder.path + "/ebs.prom";
    run_result result =
        fleet_run(exporter_binary, {"volscan-exporter", "--textfile.output=" + path});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(sorted_lines(result.err), mixed_fleet_log);
    EXPECT_EQ(result.status, 0);
    std::string page = read_file(path);
    int durations;
    EXPECT_EQ(without_durations(page, &durations), mixed_page);
    EXPECT_EQ(durations, 5); // every controller of the platform, another vendor's not
    run_result lint = promtool_check(page);
    EXPECT_EQ(lint.out, "");
    EXPECT_EQ(lint.status, 0);
    // Only the file itself is left, readable by a collector of another user.
    EXPECT_EQ(folder_entries(folder.path), std::vector<std::string>{"ebs.prom"});
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
}

// The example volume's read bins (0, 100, 5) and (100, 200, 7) in bounds of
// the operator's: a bound inside the second bin counts it from the next bound.
TEST(textfile, latency_bins_merged_into_given_bounds)
{
    fleet_scope bed({plain(example_volume(0))});
    temporary_folder folder;
    std::string path = folder.path + "/ebs.prom";
    run_result result = fleet_run(exporter_binary,
                                  {"volscan-exporter", "--textfile.output=" + path,
                                   "--collector.latency-buckets=0.00005,0.0001,0.00015,.0002,3600"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
    std::string page = read_file(path);
    std::string buckets;
    for (size_t at = 0; (at = page.find("ebs_read_latency_seconds_bucket{", at)) != std::string::npos;) {
        size_t end = page.find('\n', at) + 1;
        buckets += page.substr(at, end - at);
        at = end;
    }
    const std::string labels = "ebs_read_latency_seconds_bucket{volume_id=\"vol-00000000000000000\","
                               "device=\"nvme0n1\",le=";
    EXPECT_EQ(buckets, labels + "\"0.00005\"} 0\n" + labels + "\"0.0001\"} 5\n" + labels
                           + "\"0.00015\"} 5\n" + labels + "\"0.0002\"} 12\n" + labels
                           + "\"3600\"} 12\n" + labels + "\"+Inf\"} 12\n");
    run_result lint = promtool_check(page);
    EXPECT_EQ(lint.out, "");
    EXPECT_EQ(lint.status, 0);
}

// node_exporter reads *.prom alone: any other name is written all the same, with a warning.
TEST(textfile, name_without_prom_is_written_with_a_warning)
{
    fleet_scope bed(mixed_fleet());
    temporary_folder folder;
    for (const char* name : {"ebs.txt", "prom", "ebs.prom.tmp"}) {
        std::string path = folder.path + "/" + name;
        run_result result =
            fleet_run(exporter_binary, {"volscan-exporter", "--textfile.output=" + path});
        std::vector<std::string> lines = mixed_fleet_log;
        lines.push_back("volscan-exporter: warning: node_exporter's text-file collector "
                        "reads only files whose name ends in .prom, not " + path + "\n");
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(sorted_lines(result.err), lines);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(lines_with(read_file(path), "ebs_read_ops_total{").size(), 2u);
    }
}

TEST(textfile, folder_that_cannot_be_written)
{
    fleet_scope bed(mixed_fleet());
    run_result result = fleet_run(exporter_binary,
                                  {"volscan-exporter", "--textfile.output=/nonexistent/ebs.prom"});
    EXPECT_EQ(result.out, "");
    std::vector<std::string> lines = mixed_fleet_log;
    lines.push_back("volscan-exporter: cannot create a file beside /nonexistent/ebs.prom: "
                    "No such file or directory\n");
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(sorted_lines(result.err), lines);
    EXPECT_EQ(result.status, 1);
}

TEST(textfile, rewritten_every_interval_until_stopped)
{
    fleet_scope bed(mixed_fleet());
    temporary_folder folder;
    std::string path = folder.path + "/ebs.prom";
    fleet_process exporter = fleet_spawn(
        exporter_binary, {"volscan-exporter", "--textfile.output=" + path, "--textfile.interval=1"});
    for (int tries = 0; tries < 300 && fleet_samples(0) < 2; tries++)
        usleep(10000);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_GE(fleet_samples(0), 2);
    // The failures are told once, not at every write.
    std::vector<std::string> lines = mixed_fleet_log;
    lines.insert(lines.begin(), "volscan-exporter: version 1.0.0 writing " + path
                                    + " every 1 s, reading up to 8 devices at once\n");
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(sorted_lines(result.err), lines);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(folder_entries(folder.path), std::vector<std::string>{"ebs.prom"});
    EXPECT_EQ(lines_with(read_file(path), "ebs_read_ops_total{").size(), 2u);
}

TEST(http, endpoints)
{
    fleet_scope bed(mixed_fleet());
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    struct row {
        const char* method;
        const char* path;
        int status;
        const char* type;
    } rows[] = {
        {"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8"},
        {"HEAD", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8"},
        {"GET", "/", 200, "text/html; charset=utf-8"},
        {"GET", "/metrics/", 404, "text/plain; charset=utf-8"},
        {"GET", "/favicon.ico", 404, "text/plain; charset=utf-8"},
        {"POST", "/metrics", 405, "text/plain; charset=utf-8"},
        {"PUT", "/", 405, "text/plain; charset=utf-8"},
        {"DELETE", "/metrics", 405, "text/plain; charset=utf-8"},
    };
    for (const row& r : rows) {
        std::string response = http_get(port, r.path, r.method);
        SCOPED_TRACE(std::string(r.method) + " " + r.path);
        EXPECT_EQ(http_status(response), r.status);
        EXPECT_NE(response.find(std::string("\r\nContent-Type: ") + r.type + "\r\n"),
                  std::string::npos) << response;
        if (r.status == 405) {
            EXPECT_NE(response.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos) << response;
        }
        if (strcmp(r.method, "HEAD") == 0) {
            EXPECT_EQ(http_body(response), "");
        }
    }
    EXPECT_NE(http_body(http_get(port, "/")).find("<a href=\"/metrics\">"), std::string::npos);
    std::string page = http_body(http_get(port, "/metrics"));
    int durations;
    EXPECT_EQ(without_durations(page, &durations), mixed_page);
    run_result lint = promtool_check(page);
    EXPECT_EQ(lint.out, "");
    EXPECT_EQ(lint.status, 0);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.out, "");
    std::vector<std::string> lines = mixed_fleet_log;
    lines.push_back(start_line(port));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(sorted_lines(result.err), lines); // once for all the scrapes
    EXPECT_EQ(result.status, 0);
}

TEST(http, telemetry_path_and_a_port_in_use)
{
    fleet_scope bed(mixed_fleet());
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.telemetry-path=/ebs"});
    EXPECT_EQ(http_status(http_get(port, "/ebs")), 200);
    EXPECT_EQ(http_status(http_get(port, "/metrics")), 404);
    EXPECT_NE(http_body(http_get(port, "/")).find("<a href=\"/ebs\">"), std::string::npos);
    std::string address = "127.0.0.1:" + std::to_string(port);
    run_result second =
        fleet_run(exporter_binary, {"volscan-exporter", "--web.listen-address=" + address,
                                    "--web.user=nobody"});
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "volscan-exporter: cannot listen on " + address
                              + ": Address already in use\n");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(fleet_finish(exporter, SIGINT).status, 0);
}

// Each of these leaves the exporter serving the next client.
TEST(http, bad_clients)
{
    fleet_scope bed(mixed_fleet());
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    // A client that sends half a request and then nothing, held open throughout.
    std::string stalled_answer;
    std::thread staller([&] {
        stalled_answer = http_exchange(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n", 3000);
    });
    usleep(100000);
    struct row {
        const char* name;
        std::string request;
        int status; // 0: the server may close without an answer
    } rows[] = {
        {"garbage", "GARBAGE\r\n\r\n", 0},
        {"no version", "GET /metrics\r\n\r\n", 400},
        {"binary", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), 0},
        {"overlong header",
         "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + std::string(64 * 1024, 'a')
             + "\r\n\r\n",
         431},
        {"many headers", [] {
             std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
             for (int i = 0; i < 4000; i++)
                 request += "X-" + std::to_string(i) + ": 1\r\n";
             return request + "\r\n";
         }(), 431},
        {"unsupported version", "GET /metrics HTTP/3.0\r\nHost: 127.0.0.1\r\n\r\n", 505},
    };
    for (const row& r : rows) {
        std::string response = http_exchange(port, r.request, 3000);
        if (r.status) {
            EXPECT_EQ(http_status(response), r.status) << r.name << ": " << response.substr(0, 200);
        }
        EXPECT_EQ(http_status(http_get(port, "/metrics")), 200) << "after " << r.name;
    }
    staller.join();
    EXPECT_EQ(stalled_answer, ""); // the stalled client got nothing, and others were served meanwhile
    EXPECT_EQ(http_status(http_get(port, "/metrics")), 200);
    run_result result = fleet_finish(exporter, SIGTERM);
    std::vector<std::string> lines = mixed_fleet_log;
    lines.push_back(start_line(port));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(sorted_lines(result.err), lines);
    EXPECT_EQ(result.status, 0);
}

TEST(http, bins_wrap_without_going_back)
{
    // The last page's counters went back: the volume was detached and attached
    // again between two scrapes, so its counts start afresh.
    controller_fixture volume = wrapping_volume(0, {4294967000u, 200u, 300u, 4294967295u, 5u, 9u});
    stats_values reattached;
    reattached.counters[0] = 10;
    reattached.read_num_bins = 2;
    reattached.read_bins = {{0, 100, 9}, {100, 200, 7}};
    volume.pages.back() = stats_page(reattached);
    fleet_scope bed({plain(volume)});
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    const std::string labels = "{volume_id=\"vol-00000000000000000\",device=\"nvme0n1\"";
    const double expected[] = {4294967000., 4294967496., 4294967596., 8589934591., 8589934597., 9.};
    for (double total : expected) {
        if (total != expected[0])
            usleep(past_reuse_us); // a new page, not the last reading again
        std::string page = http_body(http_get(port, "/metrics"));
        EXPECT_EQ(sample_value(page, "ebs_read_latency_seconds_bucket" + labels + ",le=\"0.0001\"}"),
                  total);
        EXPECT_EQ(sample_value(page, "ebs_read_latency_seconds_count" + labels + "}"), total + 7);
    }
    EXPECT_EQ(fleet_finish(exporter, SIGTERM).status, 0);
}

TEST(http, failing_and_disappearing_volumes)
{
    // nvme1 fails from its second sample on; nvme2 is detached; nvme3 is
    // attached after the first scrape.
    fleet_controller late = plain(wrapping_volume(3, {4294967000u, 100u}));
    late.attached = false;
    fleet_scope bed({plain(fleet_ebs_volume(0)), plain(failing(fleet_ebs_volume(1), 1, EIO)),
                     plain(fleet_ebs_volume(2)), late});
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    auto series_of = [](const std::string& page, int k) {
        std::vector<std::string> found;
        for (const std::string& line : lines_with(page, "ebs_"))
            if (line.find(fleet_volume_id(k)) != std::string::npos
                || line.find("\"nvme" + std::to_string(k) + "n1\"") != std::string::npos)
                found.push_back(line.substr(0, line.find('{')));
        return found;
    };
    std::string first = http_body(http_get(port, "/metrics"));
    EXPECT_EQ(series_of(first, 1).size(), series_of(first, 0).size());
    EXPECT_EQ(sample_value(first, "ebs_scrape_success{volume_id=\"" + fleet_volume_id(1)
                                      + "\",device=\"nvme1n1\"}"),
              1);

    fleet_detach(2);
    usleep(past_reuse_us);
    std::string second = http_body(http_get(port, "/metrics"));
    // The failing volume keeps its identity and reports the failure, nothing more.
    EXPECT_EQ(series_of(second, 1),
              (std::vector<std::string>{"ebs_volume_info", "ebs_scrape_success",
                                        "ebs_scrape_duration_seconds"}));
    EXPECT_EQ(sample_value(second, "ebs_scrape_success{volume_id=\"" + fleet_volume_id(1)
                                       + "\",device=\"nvme1n1\"}"),
              0);
    EXPECT_EQ(series_of(second, 2), std::vector<std::string>());
    EXPECT_EQ(series_of(second, 0), series_of(first, 0));
    EXPECT_EQ(series_of(second, 3), std::vector<std::string>());
    EXPECT_EQ(promtool_check(second).out, "");

    // A new volume's counts start from what the device says.
    fleet_attach(3);
    std::string third = http_body(http_get(port, "/metrics"));
    EXPECT_EQ(sample_value(third, "ebs_read_latency_seconds_bucket{volume_id=\""
                                      + fleet_volume_id(3) + "\",device=\"nvme3n1\",le=\"0.0001\"}"),
              4294967000.);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(sorted_lines(result.err),
              (std::vector<std::string>{
                  found("2 volumes, 0 instance-storage disks"),
                  found("3 volumes, 0 instance-storage disks"),
                  found("3 volumes, 0 instance-storage disks"),
                  "volscan-exporter: nvme1n1 (nvme1): the statistics log page: Input/output error\n",
                  start_line(port)}));
    EXPECT_EQ(result.status, 0);
}

// What the exporter found, as gauges and in its log: at the first scrape and
// when it changes. A volume reached through two controllers (the second a
// multipath path) counts once; with no NVMe device at all it says so and
// serves zeros, so that a container without the host's /dev is not taken for
// a quiet machine.
TEST(http, volumes_and_disks_found)
{
    fleet_controller second_path = plain(fleet_ebs_volume(0));
    second_path.multipath = true;
    fleet_scope bed({plain(fleet_ebs_volume(0)), plain(fleet_ebs_volume(1)),
                     plain(instance_storage()), second_path});
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    auto counts = [&] {
        std::string page = http_body(http_get(port, "/metrics"));
        return std::vector<double>{sample_value(page, "ebs_volumes"),
                                   sample_value(page, "ebs_instance_storage_disks")};
    };
    EXPECT_EQ(counts(), (std::vector<double>{2, 1}));
    usleep(past_reuse_us);
    EXPECT_EQ(counts(), (std::vector<double>{2, 1})); // the same: no line
    fleet_detach(1);
    usleep(past_reuse_us);
    EXPECT_EQ(counts(), (std::vector<double>{1, 1}));
    fleet_detach(2);
    usleep(past_reuse_us);
    EXPECT_EQ(counts(), (std::vector<double>{1, 0}));
    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_EQ(result.err, start_line(port) + "volscan-exporter: found 2 volumes, 1 instance-storage disk\n"
                              + "volscan-exporter: found 1 volume, 1 instance-storage disk\n"
                              + "volscan-exporter: found 1 volume, 0 instance-storage disks\n");
    EXPECT_EQ(result.status, 0);
}

TEST(http, no_nvme_device)
{
    fleet_scope bed({});
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    std::string page = http_body(http_get(port, "/metrics"));
    EXPECT_EQ(lines_with(page, "ebs_volumes"), std::vector<std::string>{"ebs_volumes 0"});
    EXPECT_EQ(lines_with(page, "ebs_instance_storage_disks"),
              std::vector<std::string>{"ebs_instance_storage_disks 0"});
    EXPECT_EQ(promtool_check(page).out, "");
    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_EQ(result.err,
              start_line(port) + "volscan-exporter: found 0 volumes, 0 instance-storage disks\n");
    EXPECT_EQ(result.status, 0);

    // The text file says the same.
    temporary_folder folder;
    std::string path = folder.path + "/ebs.prom";
    run_result written = fleet_run(exporter_binary, {"volscan-exporter", "--textfile.output=" + path});
    EXPECT_EQ(written.err, "volscan-exporter: found 0 volumes, 0 instance-storage disks\n");
    EXPECT_EQ(written.status, 0);
    EXPECT_EQ(lines_with(read_file(path), "ebs_volumes"), std::vector<std::string>{"ebs_volumes 0"});
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
