// SPDX-License-Identifier: BSD-2-Clause
// Statistics: the page as text and JSON, its failures, and polling with
// per-interval differences.
#include "e2e.h"

#include <cerrno>
#include <cstdio>

namespace {

const char rules[] = "=================================\n"
                     "Lower       Upper        IO Count\n"
                     "=================================\n";

const std::string polling = "Polling EBS stats every 1 sec(s); press Ctrl+C to stop\n";

controller_fixture with_pages(std::vector<page_bytes> pages)
{
    controller_fixture f = ebs_volume();
    f.pages = std::move(pages);
    return f;
}

stats_values unsigned_limits()
{
    stats_values v;
    for (uint64_t& counter : v.counters)
        counter = 18446744073709551615u;
    v.read_num_bins = 2;
    v.read_bins = {{12345678, 123456789, 4294967295u}, {123456789, 18446744073709551615u, 0}};
    v.write_num_bins = 1;
    v.write_bins = {{1, 99999999, 1}};
    return v;
}

std::string counters_text(const std::string& all)
{
    return "Total Ops\n  Read: " + all + "\n  Write: " + all + "\nTotal Bytes\n  Read: " + all
        + "\n  Write: " + all + "\nTotal Time (us)\n  Read: " + all + "\n  Write: " + all
        + "\nEBS Volume Performance Exceeded (us)\n  IOPS: " + all + "\n  Throughput: " + all
        + "\nEC2 Instance EBS Performance Exceeded (us)\n  IOPS: " + all + "\n  Throughput: " + all
        + "\nQueue Length (point in time): " + all + "\n";
}

// Sixty-four bins filled, while num_bins claims a hundred.
stats_values hundred_bins()
{
    stats_values v;
    v.read_num_bins = v.write_num_bins = 100;
    for (uint32_t i = 0; i < 64; i++) {
        v.read_bins.push_back({i, i + 1, i});
        v.write_bins.push_back({i, i + 1, 1000 + i});
    }
    return v;
}

std::string hundred_bins_text()
{
    std::string read, write;
    char line[64];
    for (int i = 0; i < 64; i++) {
        snprintf(line, sizeof line, "[%-8d - %-8d] => %d\n", i, i + 1, i);
        read += line;
        snprintf(line, sizeof line, "[%-8d - %-8d] => %d\n", i, i + 1, 1000 + i);
        write += line;
    }
    return counters_text("0") + "\nRead IO Latency Histogram (us)\nNumber of bins: 100\n" + rules + read
        + "\nWrite IO Latency Histogram (us)\nNumber of bins: 100\n" + rules + write;
}

std::string hundred_bins_json()
{
    std::string read, write;
    for (int i = 0; i < 64; i++) {
        std::string sep = i ? ", " : "";
        read += sep + "{\"lower\": " + std::to_string(i) + ", \"upper\": " + std::to_string(i + 1)
            + ", \"count\": " + std::to_string(i) + "}";
        write += sep + "{\"lower\": " + std::to_string(i) + ", \"upper\": " + std::to_string(i + 1)
            + ", \"count\": " + std::to_string(1000 + i) + "}";
    }
    return "{\"total_read_ops\": 0, \"total_write_ops\": 0, \"total_read_bytes\": 0, \"total_write_bytes\": 0, "
           "\"total_read_time\": 0, \"total_write_time\": 0, \"ebs_volume_performance_exceeded_iops\": 0, "
           "\"ebs_volume_performance_exceeded_tp\": 0, \"ec2_instance_ebs_performance_exceeded_iops\": 0, "
           "\"ec2_instance_ebs_performance_exceeded_tp\": 0, \"volume_queue_length\": 0, "
           "\"read_io_latency_histogram\": {\"num_bins\": 100, \"bins\": ["
        + read + "]}, \"write_io_latency_histogram\": {\"num_bins\": 100, \"bins\": [" + write + "]}}\n";
}

// A page whose signature is written in the wrong byte order.
page_bytes big_endian_magic()
{
    stats_values v;
    v.magic = 0x10B5233C;
    return stats_page(v);
}

struct stats_case {
    const char* title;
    controller_fixture (*fixture)();
    expect_run run;
};

void PrintTo(const stats_case& c, std::ostream* os) { *os << c.title; }

const stats_case stats_cases[] = {
    {"example_text", ebs_volume, {{"volscan", "stats", "nvme0"}, example_text, "", 0}},
    {"example_json", ebs_volume, {{"volscan", "stats", "-j", "nvme0"}, example_json, "", 0}},
    {"no_bins_text", [] { return with_pages({stats_page(stats_values())}); },
     {{"volscan", "stats", "nvme0"},
      counters_text("0") + "\nRead IO Latency Histogram (us)\nNumber of bins: 0\n" + rules
          + "\nWrite IO Latency Histogram (us)\nNumber of bins: 0\n" + rules,
      "", 0}},
    {"no_bins_json", [] { return with_pages({stats_page(stats_values())}); },
     {{"volscan", "stats", "-j", "nvme0"},
      "{\"total_read_ops\": 0, \"total_write_ops\": 0, \"total_read_bytes\": 0, \"total_write_bytes\": 0, "
      "\"total_read_time\": 0, \"total_write_time\": 0, \"ebs_volume_performance_exceeded_iops\": 0, "
      "\"ebs_volume_performance_exceeded_tp\": 0, \"ec2_instance_ebs_performance_exceeded_iops\": 0, "
      "\"ec2_instance_ebs_performance_exceeded_tp\": 0, \"volume_queue_length\": 0, "
      "\"read_io_latency_histogram\": {\"num_bins\": 0, \"bins\": []}, "
      "\"write_io_latency_histogram\": {\"num_bins\": 0, \"bins\": []}}\n",
      "", 0}},
    {"hundred_bins_text", [] { return with_pages({stats_page(hundred_bins())}); },
     {{"volscan", "stats", "nvme0"}, hundred_bins_text(), "", 0}},
    {"hundred_bins_json", [] { return with_pages({stats_page(hundred_bins())}); },
     {{"volscan-stats", "-j", "nvme0"}, hundred_bins_json(), "", 0}},
    {"limits_text", [] { return with_pages({stats_page(unsigned_limits())}); },
     {{"volscan", "stats", "nvme0"},
      counters_text("18446744073709551615") + "\nRead IO Latency Histogram (us)\nNumber of bins: 2\n" + rules
          + "[12345678 - 123456789] => 4294967295\n[123456789 - 18446744073709551615] => 0\n"
          + "\nWrite IO Latency Histogram (us)\nNumber of bins: 1\n" + rules + "[1        - 99999999] => 1\n",
      "", 0}},
    {"limits_json", [] { return with_pages({stats_page(unsigned_limits())}); },
     {{"volscan", "stats", "-j", "nvme0"},
      "{\"total_read_ops\": 18446744073709551615, \"total_write_ops\": 18446744073709551615, "
      "\"total_read_bytes\": 18446744073709551615, \"total_write_bytes\": 18446744073709551615, "
      "\"total_read_time\": 18446744073709551615, \"total_write_time\": 18446744073709551615, "
      "\"ebs_volume_performance_exceeded_iops\": 18446744073709551615, "
      "\"ebs_volume_performance_exceeded_tp\": 18446744073709551615, "
      "\"ec2_instance_ebs_performance_exceeded_iops\": 18446744073709551615, "
      "\"ec2_instance_ebs_performance_exceeded_tp\": 18446744073709551615, "
      "\"volume_queue_length\": 18446744073709551615, "
      "\"read_io_latency_histogram\": {\"num_bins\": 2, \"bins\": [{\"lower\": 12345678, \"upper\": 123456789, "
      "\"count\": 4294967295}, {\"lower\": 123456789, \"upper\": 18446744073709551615, \"count\": 0}]}, "
      "\"write_io_latency_histogram\": {\"num_bins\": 1, \"bins\": [{\"lower\": 1, \"upper\": 99999999, "
      "\"count\": 1}]}}\n",
      "", 0}},
    // Failures of the first sample. Any accepted device is asked; none is
    // turned away beforehand.
    {"instance_storage", instance_storage,
     {{"volscan", "stats", "nvme0"}, "", "volscan: log page request returned error\n", 1}},
    {"instance_storage_polling", instance_storage,
     {{"volscan", "stats", "-j", "-i", "1", "nvme0"}, polling, "volscan: log page request returned error\n", 1}},
    {"no_signature", [] { return with_pages({stats_page([] { stats_values v; v.magic = 0; return v; }())}); },
     {{"volscan", "stats", "nvme0n1"}, "", "volscan: Not an EBS device: nvme0n1\n", 1}},
    {"signature_in_wrong_byte_order", [] { return with_pages({big_endian_magic()}); },
     {{"volscan", "stats", "-j", "/dev/nvme0"}, "", "volscan: Not an EBS device: nvme0\n", 1}},
    {"request_fails", [] { controller_fixture f = ebs_volume(); f.log_fail_from = 0; f.log_errno = EIO; return f; },
     {{"volscan", "stats", "nvme0"}, "", "volscan: NVME_OPC_GET_LOG_PAGE failed: Input/output error\n", 1}},
    {"completion_error", [] { controller_fixture f = ebs_volume(); f.log_fail_from = 0; f.log_status = 0x0002; return f; },
     {{"volscan", "stats", "nvme0"}, "", "volscan: log page request returned error\n", 1}},
    {"completion_without_error_bits", [] { controller_fixture f = ebs_volume(); f.log_fail_from = 0; f.log_status = 0xF001; return f; },
     {{"volscan", "stats", "nvme0"}, "", "volscan: Not an EBS device: nvme0\n", 1}},
    // Failures of a later sample end the run after what was already printed.
    {"later_request_fails", [] { controller_fixture f = ebs_volume(); f.log_fail_from = 2; f.log_errno = ENODEV; return f; },
     {{"volscan", "stats", "-j", "-i", "1", "nvme0"},
      polling + example_json + "\n\n"
          + "{\"total_read_ops\": 0, \"total_write_ops\": 0, \"total_read_bytes\": 0, \"total_write_bytes\": 0, "
            "\"total_read_time\": 0, \"total_write_time\": 0, \"ebs_volume_performance_exceeded_iops\": 0, "
            "\"ebs_volume_performance_exceeded_tp\": 0, \"ec2_instance_ebs_performance_exceeded_iops\": 0, "
            "\"ec2_instance_ebs_performance_exceeded_tp\": 0, \"volume_queue_length\": 11, "
            "\"read_io_latency_histogram\": {\"num_bins\": 2, \"bins\": [{\"lower\": 0, \"upper\": 100, \"count\": 0}, "
            "{\"lower\": 100, \"upper\": 200, \"count\": 0}]}, "
            "\"write_io_latency_histogram\": {\"num_bins\": 0, \"bins\": []}}\n",
      "volscan: NVME_OPC_GET_LOG_PAGE failed: No such device\n", 1}},
    {"later_completion_error", [] { controller_fixture f = ebs_volume(); f.log_fail_from = 1; f.log_status = 0x8004; return f; },
     {{"volscan", "stats", "-i", "1", "nvme0"}, polling + example_text, "volscan: log page request returned error\n", 1}},
};

struct stats_test : ::testing::TestWithParam<stats_case> {};

TEST_P(stats_test, prints_exactly)
{
    bed_set_primary(GetParam().fixture());
    check_run(GetParam().run);
}

INSTANTIATE_TEST_SUITE_P(table, stats_test, ::testing::ValuesIn(stats_cases),
                         [](const auto& info) { return std::string(info.param.title); });

} // namespace
