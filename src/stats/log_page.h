// SPDX-License-Identifier: BSD-2-Clause
// The EBS statistics log page (log identifier 0xD0) and fetching one sample.
#pragma once

#include <cstdint>

#include "stats/stats_log.h"

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
