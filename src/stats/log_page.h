// SPDX-License-Identifier: BSD-2-Clause
// The EBS statistics log page (log identifier 0xD0) and fetching one sample.
#pragma once

#include <cstddef>
#include <cstdint>

struct histogram_bin {
    uint64_t lower; // microseconds
    uint64_t upper; // microseconds
    uint32_t count; // I/O operations, cumulative
    uint32_t reserved;
};

constexpr int histogram_bins = 64;

struct latency_histogram {
    uint64_t num_bins; // as the device reports it; may exceed histogram_bins
    histogram_bin bins[histogram_bins];
};

struct ebs_stats_log {
    uint32_t magic;
    uint32_t reserved0;
    // Cumulative counters.
    uint64_t total_read_ops;
    uint64_t total_write_ops;
    uint64_t total_read_bytes;
    uint64_t total_write_bytes;
    uint64_t total_read_time;  // microseconds
    uint64_t total_write_time; // microseconds
    uint64_t ebs_volume_performance_exceeded_iops;       // microseconds
    uint64_t ebs_volume_performance_exceeded_tp;         // microseconds
    uint64_t ec2_instance_ebs_performance_exceeded_iops; // microseconds
    uint64_t ec2_instance_ebs_performance_exceeded_tp;   // microseconds
    // At the moment of the sample.
    uint64_t volume_queue_length;
    uint8_t reserved1[416];
    latency_histogram read_io_latency_histogram;
    latency_histogram write_io_latency_histogram;
    uint8_t reserved2[496];
};

static_assert(sizeof(histogram_bin) == 24);
static_assert(offsetof(histogram_bin, count) == 16);
static_assert(sizeof(latency_histogram) == 1544);
static_assert(offsetof(latency_histogram, bins) == 8);
static_assert(sizeof(ebs_stats_log) == 4096);
static_assert(offsetof(ebs_stats_log, total_read_ops) == 8);
static_assert(offsetof(ebs_stats_log, ec2_instance_ebs_performance_exceeded_tp) == 80);
static_assert(offsetof(ebs_stats_log, volume_queue_length) == 88);
static_assert(offsetof(ebs_stats_log, read_io_latency_histogram) == 512);
static_assert(offsetof(ebs_stats_log, write_io_latency_histogram) == 2056);
static_assert(offsetof(ebs_stats_log, reserved2) == 3600);

// The ten cumulative counters, in page order.
constexpr uint64_t ebs_stats_log::*cumulative_counters[] = {
    &ebs_stats_log::total_read_ops,
    &ebs_stats_log::total_write_ops,
    &ebs_stats_log::total_read_bytes,
    &ebs_stats_log::total_write_bytes,
    &ebs_stats_log::total_read_time,
    &ebs_stats_log::total_write_time,
    &ebs_stats_log::ebs_volume_performance_exceeded_iops,
    &ebs_stats_log::ebs_volume_performance_exceeded_tp,
    &ebs_stats_log::ec2_instance_ebs_performance_exceeded_iops,
    &ebs_stats_log::ec2_instance_ebs_performance_exceeded_tp,
};

constexpr uint32_t ebs_stats_magic = 0x3C23B510;
constexpr uint8_t NVME_OPC_GET_LOG_PAGE = 0x02;

// Converts a page as the device sent it (little-endian) to host order.
void stats_log_from_le(ebs_stats_log* page);

enum class stats_outcome {
    success,
    request_failed,   // the request itself failed; errno tells why
    completion_error, // the controller completed it with an error status
    not_ebs,          // the page does not carry the statistics signature
    output_failed,    // a report could not be written; errno tells why
};

// Fills page with one sample in host order.
stats_outcome fetch_stats_log(int descriptor, ebs_stats_log* page);
