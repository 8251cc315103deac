// SPDX-License-Identifier: BSD-2-Clause
#include "cli/stats_report.h"

#include <cinttypes>
#include <cstdio>

// No reader goes past the 64 bins of the page, whatever num_bins claims.
static int bins_shown(const latency_histogram& histogram)
{
    return histogram.num_bins < histogram_bins ? static_cast<int>(histogram.num_bins)
                                               : histogram_bins;
}

static void print_histogram_text(const latency_histogram& histogram)
{
    printf("Number of bins: %" PRIu64 "\n"
           "=================================\n"
           "Lower       Upper        IO Count\n"
           "=================================\n",
           histogram.num_bins);
    for (int i = 0; i < bins_shown(histogram); i++) {
        const histogram_bin& bin = histogram.bins[i];
        printf("[%-8" PRIu64 " - %-8" PRIu64 "] => %" PRIu32 "\n", bin.lower, bin.upper, bin.count);
    }
}

void print_stats_text(const ebs_stats_log& page)
{
    printf("Total Ops\n"
           "  Read: %" PRIu64 "\n"
           "  Write: %" PRIu64 "\n"
           "Total Bytes\n"
           "  Read: %" PRIu64 "\n"
           "  Write: %" PRIu64 "\n"
           "Total Time (us)\n"
           "  Read: %" PRIu64 "\n"
           "  Write: %" PRIu64 "\n"
           "EBS Volume Performance Exceeded (us)\n"
           "  IOPS: %" PRIu64 "\n"
           "  Throughput: %" PRIu64 "\n"
           "EC2 Instance EBS Performance Exceeded (us)\n"
           "  IOPS: %" PRIu64 "\n"
           "  Throughput: %" PRIu64 "\n"
           "Queue Length (point in time): %" PRIu64 "\n",
           page.total_read_ops, page.total_write_ops, page.total_read_bytes,
           page.total_write_bytes, page.total_read_time, page.total_write_time,
           page.ebs_volume_performance_exceeded_iops, page.ebs_volume_performance_exceeded_tp,
           page.ec2_instance_ebs_performance_exceeded_iops,
           page.ec2_instance_ebs_performance_exceeded_tp, page.volume_queue_length);
    fputs("\nRead IO Latency Histogram (us)\n", stdout);
    print_histogram_text(page.read_io_latency_histogram);
    fputs("\nWrite IO Latency Histogram (us)\n", stdout);
    print_histogram_text(page.write_io_latency_histogram);
    fflush(stdout);
}

void print_histogram_json(const char* name, const latency_histogram& histogram)
{
    printf(", \"%s\": {\"num_bins\": %" PRIu64 ", \"bins\": [", name, histogram.num_bins);
    for (int i = 0; i < bins_shown(histogram); i++) {
        const histogram_bin& bin = histogram.bins[i];
        printf("%s{\"lower\": %" PRIu64 ", \"upper\": %" PRIu64 ", \"count\": %" PRIu32 "}",
               i == 0 ? "" : ", ", bin.lower, bin.upper, bin.count);
    }
    fputs("]}", stdout);
}

void print_stats_json(const ebs_stats_log& page)
{
    printf("{\"total_read_ops\": %" PRIu64 ", \"total_write_ops\": %" PRIu64
           ", \"total_read_bytes\": %" PRIu64 ", \"total_write_bytes\": %" PRIu64
           ", \"total_read_time\": %" PRIu64 ", \"total_write_time\": %" PRIu64
           ", \"ebs_volume_performance_exceeded_iops\": %" PRIu64
           ", \"ebs_volume_performance_exceeded_tp\": %" PRIu64
           ", \"ec2_instance_ebs_performance_exceeded_iops\": %" PRIu64
           ", \"ec2_instance_ebs_performance_exceeded_tp\": %" PRIu64
           ", \"volume_queue_length\": %" PRIu64,
           page.total_read_ops, page.total_write_ops, page.total_read_bytes,
           page.total_write_bytes, page.total_read_time, page.total_write_time,
           page.ebs_volume_performance_exceeded_iops, page.ebs_volume_performance_exceeded_tp,
           page.ec2_instance_ebs_performance_exceeded_iops,
           page.ec2_instance_ebs_performance_exceeded_tp, page.volume_queue_length);
    print_histogram_json("read_io_latency_histogram", page.read_io_latency_histogram);
    print_histogram_json("write_io_latency_histogram", page.write_io_latency_histogram);
    fputs("}\n", stdout);
    fflush(stdout);
}
