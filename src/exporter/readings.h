// SPDX-License-Identifier: BSD-2-Clause
// What one scrape learns about the NVMe controllers of the machine, and the
// running totals that outlive a scrape.
#pragma once

#include <cstdint>

#include "identity/volume_identity.h"
#include "nvme/controller_limit.h"
#include "stats/stats_log.h"

struct controller_reading {
    char controller[32]; // node name under /dev: nvme0
    char device[64];     // the block device users see: nvme0n1
    bool identified;     // the controller answered Identify and passed the gate
    bool is_ebs;         // an EBS volume, not an instance-storage disk
    bool has_stats;      // this scrape read the statistics page
    bool has_totals;     // page and the totals hold a volume's history
    bool late;           // it had not answered by the scrape's deadline
    volume_identity identity;
    uint64_t nanoseconds;  // time this controller took
    ebs_stats_log page;    // the newest good page, bin counts as the device sent them
    // 64-bit running totals of the bin counts, which the device keeps in 32 bits.
    uint64_t read_totals[histogram_bins];
    uint64_t write_totals[histogram_bins];
};

// An EBS volume that answered Identify and passed the gate: one whose
// identity names a volume, and whose statistics the scrape asks for.
inline bool is_identified_volume(const controller_reading& reading)
{
    return reading.identified && reading.is_ebs;
}

struct scrape_readings {
    int count;
    controller_reading readings[max_controllers];
};

// Takes the new page of a reading into its totals. previous is the same
// controller's reading from the scrape before, or nullptr. A volume seen for
// the first time, another volume on the same controller, one whose counters
// went back (re-attached) or whose bins changed bounds starts afresh from the
// page's own counts; otherwise each bin's total grows by the difference from
// the previous page, modulo 2^32, so a wrapping bin never goes back.
void carry_totals(controller_reading* reading, const ebs_stats_log& page,
                  const controller_reading* previous);

// Keeps the history of a volume whose statistics could not be read this time.
void keep_totals(controller_reading* reading, const controller_reading* previous);
