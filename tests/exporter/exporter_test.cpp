// volscan-exporter on emulated fleets: options, the page of a fleet with
// every kind of controller, both ways out, and clients that misbehave.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

const char usage[] =
    "usage: volscan-exporter [--web.listen-address=[HOST]:PORT] [--web.telemetry-path=PATH]\n"
    "                        [--web.max-connections=N]\n"
    "       volscan-exporter --textfile.output=FILE [--textfile.interval=SECONDS]\n"
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

fleet_controller plain(const controller_fixture& fixture)
{
    fleet_controller c;
    c.fixture = fixture;
    return c;
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

struct fleet_scope {
    explicit fleet_scope(const std::vector<fleet_controller>& controllers)
    {
        fleet_start(controllers, BED_SHIM);
    }
    ~fleet_scope()
    {
        EXPECT_EQ(fleet_violations(), std::vector<std::string>());
        fleet_stop();
    }
};

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

std::string read_file(const std::string& path)
{
    std::string text;
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr)
        return text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    fclose(file);
    return text;
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

struct temporary_folder {
    std::string path;
    temporary_folder()
    {
        char name[] = "/tmp/exporter-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~temporary_folder() { shell("rm -rf '" + path + "'"); }
};

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
)";

} // namespace

TEST(options, misuse_and_information)
{
    fleet_scope bed({});
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
        {{"--textfile.interval=5"}, "",
         std::string("volscan-exporter: --textfile.interval needs --textfile.output\n") + usage, 1},
        {{"--textfile.output=/tmp/x.prom", "--textfile.interval=-1"}, "",
         std::string("volscan-exporter: invalid --textfile.interval: -1 (0 to 86400 seconds)\n") + usage, 1},
        {{"--textfile.output=/tmp/x.prom", "--textfile.interval=1s"}, "",
         std::string("volscan-exporter: invalid --textfile.interval: 1s (0 to 86400 seconds)\n") + usage, 1},
        {{"--textfile.output=/tmp/x.prom", "--web.listen-address=:9100"}, "",
         std::string("volscan-exporter: --textfile.output: the --web options have no use with "
                     "--textfile.output\n") + usage, 1},
        {{"metrics"}, "", std::string("volscan-exporter: unexpected argument: metrics\n") + usage, 1},
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
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.status, 0);
}

TEST(textfile, page_of_a_mixed_fleet)
{
    fleet_scope bed(mixed_fleet());
    temporary_folder folder;
    std::string path = folder.path + "/ebs.prom";
    run_result result =
        fleet_run(exporter_binary, {"volscan-exporter", "--textfile.output=" + path});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
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

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
