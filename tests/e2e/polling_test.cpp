// SPDX-License-Identifier: BSD-2-Clause
// Polling: the message, the first report with totals, then for each interval
// two newlines and the differences from the sample before. The fixture's last
// page has no signature, which ends the run after three reports.
#include "e2e.h"

#include <cerrno>
#include <cstdio>

namespace {

stats_values first_sample()
{
    stats_values v;
    const uint64_t counters[11] = {1000, 2000, 4096000, 8192000, 50000, 90000, 0, 0, 0, 0, 4};
    std::copy(counters, counters + 11, v.counters);
    v.read_num_bins = 2;
    v.read_bins = {{0, 128, 900}, {128, 256, 4294967295u}, {256, 512, 3}};
    v.write_num_bins = 1;
    v.write_bins = {{0, 1024, 2000}};
    return v;
}

// Counters grow, one goes backwards, a bin count wraps, a bin beyond
// num_bins changes, the queue length and a bin bound change.
stats_values second_sample()
{
    stats_values v;
    const uint64_t counters[11] = {1100, 2050, 4505600, 8396800, 49000, 91000, 5, 0, 0, 7, 2};
    std::copy(counters, counters + 11, v.counters);
    v.read_num_bins = 2;
    v.read_bins = {{0, 128, 990}, {128, 256, 9}, {256, 512, 8}};
    v.write_num_bins = 1;
    v.write_bins = {{0, 2048, 2050}};
    return v;
}

// Nothing happened; the third read bin comes into use and the write bins go.
stats_values third_sample()
{
    stats_values v = second_sample();
    v.counters[10] = 0;
    v.read_num_bins = 3;
    v.write_num_bins = 0;
    return v;
}

controller_fixture polled_volume()
{
    controller_fixture f = ebs_volume();
    stats_values unsigned_page;
    unsigned_page.magic = 0;
    f.pages = {stats_page(first_sample()), stats_page(second_sample()), stats_page(third_sample()),
               stats_page(unsigned_page)};
    return f;
}

const std::string rules = "=================================\n"
                          "Lower       Upper        IO Count\n"
                          "=================================\n";

const std::string polling_text =
    "Polling EBS stats every 1 sec(s); press Ctrl+C to stop\n"
    "Total Ops\n  Read: 1000\n  Write: 2000\n"
    "Total Bytes\n  Read: 4096000\n  Write: 8192000\n"
    "Total Time (us)\n  Read: 50000\n  Write: 90000\n"
    "EBS Volume Performance Exceeded (us)\n  IOPS: 0\n  Throughput: 0\n"
    "EC2 Instance EBS Performance Exceeded (us)\n  IOPS: 0\n  Throughput: 0\n"
    "Queue Length (point in time): 4\n"
    "\n"
    "Read IO Latency Histogram (us)\nNumber of bins: 2\n" + rules +
    "[0        - 128     ] => 900\n"
    "[128      - 256     ] => 4294967295\n"
    "\n"
    "Write IO Latency Histogram (us)\nNumber of bins: 1\n" + rules +
    "[0        - 1024    ] => 2000\n"
    "\n\n"
    "Total Ops\n  Read: 100\n  Write: 50\n"
    "Total Bytes\n  Read: 409600\n  Write: 204800\n"
    "Total Time (us)\n  Read: 18446744073709550616\n  Write: 1000\n"
    "EBS Volume Performance Exceeded (us)\n  IOPS: 5\n  Throughput: 0\n"
    "EC2 Instance EBS Performance Exceeded (us)\n  IOPS: 0\n  Throughput: 7\n"
    "Queue Length (point in time): 2\n"
    "\n"
    "Read IO Latency Histogram (us)\nNumber of bins: 2\n" + rules +
    "[0        - 128     ] => 90\n"
    "[128      - 256     ] => 10\n"
    "\n"
    "Write IO Latency Histogram (us)\nNumber of bins: 1\n" + rules +
    "[0        - 2048    ] => 50\n"
    "\n\n"
    "Total Ops\n  Read: 0\n  Write: 0\n"
    "Total Bytes\n  Read: 0\n  Write: 0\n"
    "Total Time (us)\n  Read: 0\n  Write: 0\n"
    "EBS Volume Performance Exceeded (us)\n  IOPS: 0\n  Throughput: 0\n"
    "EC2 Instance EBS Performance Exceeded (us)\n  IOPS: 0\n  Throughput: 0\n"
    "Queue Length (point in time): 0\n"
    "\n"
    "Read IO Latency Histogram (us)\nNumber of bins: 3\n" + rules +
    "[0        - 128     ] => 0\n"
    "[128      - 256     ] => 0\n"
    "[256      - 512     ] => 0\n"
    "\n"
    "Write IO Latency Histogram (us)\nNumber of bins: 0\n" + rules;

const std::string json_lines[] = {
    "{\"total_read_ops\": 1000, \"total_write_ops\": 2000, \"total_read_bytes\": 4096000, "
    "\"total_write_bytes\": 8192000, \"total_read_time\": 50000, \"total_write_time\": 90000, "
    "\"ebs_volume_performance_exceeded_iops\": 0, \"ebs_volume_performance_exceeded_tp\": 0, "
    "\"ec2_instance_ebs_performance_exceeded_iops\": 0, \"ec2_instance_ebs_performance_exceeded_tp\": 0, "
    "\"volume_queue_length\": 4, \"read_io_latency_histogram\": {\"num_bins\": 2, \"bins\": ["
    "{\"lower\": 0, \"upper\": 128, \"count\": 900}, {\"lower\": 128, \"upper\": 256, \"count\": 4294967295}]}, "
    "\"write_io_latency_histogram\": {\"num_bins\": 1, \"bins\": [{\"lower\": 0, \"upper\": 1024, \"count\": 2000}]}}",
    "{\"total_read_ops\": 100, \"total_write_ops\": 50, \"total_read_bytes\": 409600, "
    "\"total_write_bytes\": 204800, \"total_read_time\": 18446744073709550616, \"total_write_time\": 1000, "
    "\"ebs_volume_performance_exceeded_iops\": 5, \"ebs_volume_performance_exceeded_tp\": 0, "
    "\"ec2_instance_ebs_performance_exceeded_iops\": 0, \"ec2_instance_ebs_performance_exceeded_tp\": 7, "
    "\"volume_queue_length\": 2, \"read_io_latency_histogram\": {\"num_bins\": 2, \"bins\": ["
    "{\"lower\": 0, \"upper\": 128, \"count\": 90}, {\"lower\": 128, \"upper\": 256, \"count\": 10}]}, "
    "\"write_io_latency_histogram\": {\"num_bins\": 1, \"bins\": [{\"lower\": 0, \"upper\": 2048, \"count\": 50}]}}",
    "{\"total_read_ops\": 0, \"total_write_ops\": 0, \"total_read_bytes\": 0, "
    "\"total_write_bytes\": 0, \"total_read_time\": 0, \"total_write_time\": 0, "
    "\"ebs_volume_performance_exceeded_iops\": 0, \"ebs_volume_performance_exceeded_tp\": 0, "
    "\"ec2_instance_ebs_performance_exceeded_iops\": 0, \"ec2_instance_ebs_performance_exceeded_tp\": 0, "
    "\"volume_queue_length\": 0, \"read_io_latency_histogram\": {\"num_bins\": 3, \"bins\": ["
    "{\"lower\": 0, \"upper\": 128, \"count\": 0}, {\"lower\": 128, \"upper\": 256, \"count\": 0}, "
    "{\"lower\": 256, \"upper\": 512, \"count\": 0}]}, "
    "\"write_io_latency_histogram\": {\"num_bins\": 0, \"bins\": []}}",
};

const std::string polling_json = "Polling EBS stats every 2 sec(s); press Ctrl+C to stop\n" + json_lines[0]
    + "\n\n\n" + json_lines[1] + "\n\n\n" + json_lines[2] + "\n";

TEST(polling, text_reports_differences)
{
    bed_set_primary(polled_volume());
    check_run({{"volscan", "stats", "-i", "1", "nvme0"}, polling_text, "volscan: Not an EBS device: nvme0\n", 1});
}

TEST(polling, json_reports_differences)
{
    bed_set_primary(polled_volume());
    check_run({{"volscan-stats", "-j", "-i", "2", "/dev/nvme0n1"}, polling_json,
               "volscan-stats: Not an EBS device: nvme0n1\n", 1});
}

// Python's json module keeps integers exact. Parsed and written again in the
// same layout, every line must come back unchanged: it is JSON, and its
// values are the page's.
std::string python_round_trip(const std::string& lines)
{
    char name[] = "/tmp/bed-json-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_EQ(write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    close(fd);
    std::string command = std::string("python3 -c 'import json, sys\n"
                                      "for line in open(sys.argv[1]):\n"
                                      "    print(json.dumps(json.loads(line), separators=(\", \", \": \")))' ")
        + name;
    FILE* pipe = popen(command.c_str(), "r");
    std::string out = read_all(fileno(pipe));
    EXPECT_EQ(pclose(pipe), 0);
    unlink(name);
    return out;
}

TEST(polling, json_lines_parse_to_the_page_values)
{
    bed_set_primary(polled_volume());
    run_result got = bed_volscan({"volscan", "stats", "-j", "-i", "1", "nvme0"});
    ASSERT_EQ(bed_take_log().violations, std::vector<std::string>());
    std::string reports;
    size_t start = got.out.find('\n') + 1; // after the polling message
    while (start < got.out.size()) {
        size_t end = got.out.find('\n', start);
        if (end > start)
            reports += got.out.substr(start, end - start + 1);
        start = end + 1;
    }
    std::string expected = json_lines[0] + "\n" + json_lines[1] + "\n" + json_lines[2] + "\n";
    EXPECT_EQ(reports, expected);
    EXPECT_EQ(python_round_trip(reports), expected);
}

// Polling into a full disk must not go on unseen: the first report that
// cannot be written ends the run.
TEST(polling, stops_when_output_fails)
{
    controller_fixture f = ebs_volume();
    f.live = true;
    bed_set_primary(f);
    run_options options;
    options.stdout_path = "/dev/full";
    run_result got = bed_volscan({"volscan", "stats", "-i", "1", "nvme0"}, options);
    EXPECT_EQ(got.err, "volscan: stdout: No space left on device\n");
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(bed_take_log().samples, 1);

    options = run_options();
    options.close_stdout = true;
    got = bed_volscan({"volscan-stats", "-j", "-i", "1", "nvme0"}, options);
    EXPECT_EQ(got.err, "volscan-stats: stdout: Bad file descriptor\n");
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(bed_take_log().samples, 1);
}

// Output that fails after some reports went out: standard output is a file
// that may not grow past 4096 bytes (the signal that would end the process
// ignored, so the write fails), which the JSON lines pass in a few passes.
TEST(polling, stops_when_output_fails_later)
{
    controller_fixture f = ebs_volume();
    f.live = true;
    // A run that went on regardless ends here, not never.
    f.log_fail_from = 100;
    f.log_errno = EIO;
    bed_set_primary(f);
    run_result got = bed_run("/bin/sh",
                             {"sh", "-c", "trap '' XFSZ; ulimit -f 8 && exec \"$0\" \"$@\"",
                              bed_volscan_path(), "stats", "-j", "-i", "1", "nvme0"});
    EXPECT_EQ(got.err, "volscan: stdout: File too large\n");
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out.size(), 4096u);
    EXPECT_EQ(got.out.rfind("Polling EBS stats every 1 sec(s); press Ctrl+C to stop\n{\"total_read_ops\": ", 0), 0u);
    EXPECT_GT(bed_take_log().samples, 1);
}

} // namespace
