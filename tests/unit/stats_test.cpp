// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cstring>

#include "stats/log_page.h"
#include "stats/poll.h"

namespace {

// Writes value at offset, least significant byte first.
void put(uint8_t* page, size_t offset, uint64_t value, int width)
{
    for (int i = 0; i < width; i++)
        page[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(stats_log_from_le, reads_every_field_little_endian)
{
    alignas(ebs_stats_log) uint8_t bytes[sizeof(ebs_stats_log)] = {};
    put(bytes, 0, 0x3C23B510, 4);
    for (int i = 0; i < 11; i++)
        put(bytes, 8 + 8 * i, 0x0102030405060708ull * (i + 1), 8);
    put(bytes, 512, 64, 8);
    put(bytes, 512 + 8 + 24 * 63, 0x1122334455667788ull, 8);
    put(bytes, 512 + 8 + 24 * 63 + 8, 0x99AABBCCDDEEFF00ull, 8);
    put(bytes, 512 + 8 + 24 * 63 + 16, 0xDEADBEEF, 4);
    put(bytes, 2056, 100, 8);
    put(bytes, 2056 + 8 + 16, 0x01020304, 4);
    ebs_stats_log page;
    memcpy(&page, bytes, sizeof page);
    stats_log_from_le(&page);
    EXPECT_EQ(page.magic, ebs_stats_magic);
    EXPECT_EQ(page.total_read_ops, 0x0102030405060708ull);
    EXPECT_EQ(page.ec2_instance_ebs_performance_exceeded_tp, 0x0102030405060708ull * 10);
    EXPECT_EQ(page.volume_queue_length, 0x0102030405060708ull * 11);
    EXPECT_EQ(page.read_io_latency_histogram.num_bins, 64u);
    EXPECT_EQ(page.read_io_latency_histogram.bins[63].lower, 0x1122334455667788ull);
    EXPECT_EQ(page.read_io_latency_histogram.bins[63].upper, 0x99AABBCCDDEEFF00ull);
    EXPECT_EQ(page.read_io_latency_histogram.bins[63].count, 0xDEADBEEFu);
    EXPECT_EQ(page.write_io_latency_histogram.num_bins, 100u);
    EXPECT_EQ(page.write_io_latency_histogram.bins[0].count, 0x01020304u);
}

TEST(stats_delta, differences_cumulative_fields_and_keeps_the_rest)
{
    static ebs_stats_log previous, current, delta;
    memset(&previous, 0, sizeof previous);
    memset(&current, 0, sizeof current);
    current.magic = ebs_stats_magic;
    previous.total_read_ops = 10;
    current.total_read_ops = 15;
    previous.total_write_time = 7;
    current.total_write_time = 5; // went backwards
    previous.ec2_instance_ebs_performance_exceeded_tp = 1;
    current.ec2_instance_ebs_performance_exceeded_tp = 4;
    previous.volume_queue_length = 9;
    current.volume_queue_length = 3;
    current.reserved1[0] = 0xAB;
    for (latency_histogram* h : {&current.read_io_latency_histogram, &current.write_io_latency_histogram}) {
        h->num_bins = 2;
        h->bins[0] = {0, 100, 5, 0};
        h->bins[63] = {6300, 6400, 1, 0};
    }
    previous.read_io_latency_histogram.bins[0] = {0, 50, 7, 0}; // wraps; bounds differ
    previous.write_io_latency_histogram.bins[63].count = 4;      // beyond num_bins
    stats_delta(current, previous, &delta);

    EXPECT_EQ(delta.magic, ebs_stats_magic);
    EXPECT_EQ(delta.total_read_ops, 5u);
    EXPECT_EQ(delta.total_write_time, 18446744073709551614u);
    EXPECT_EQ(delta.ec2_instance_ebs_performance_exceeded_tp, 3u);
    EXPECT_EQ(delta.volume_queue_length, 3u);
    EXPECT_EQ(delta.reserved1[0], 0xAB);
    EXPECT_EQ(delta.read_io_latency_histogram.num_bins, 2u);
    EXPECT_EQ(delta.read_io_latency_histogram.bins[0].count, 4294967294u);
    EXPECT_EQ(delta.read_io_latency_histogram.bins[0].upper, 100u);
    EXPECT_EQ(delta.read_io_latency_histogram.bins[63].count, 1u);
    EXPECT_EQ(delta.write_io_latency_histogram.bins[63].count, 4294967293u);
    EXPECT_EQ(delta.write_io_latency_histogram.bins[63].lower, 6300u);
}

} // namespace
