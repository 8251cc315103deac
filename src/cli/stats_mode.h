// SPDX-License-Identifier: BSD-2-Clause
// The body of mode "stats": one report, or polling with per-interval differences.
#pragma once

#include <cstdint>

#include "stats/log_page.h"

// Prints one report, as JSON or as text tables, and then, with a non-zero
// interval in seconds, a report of differences for every interval. Returns
// success only when the interval is 0; otherwise it returns the first failed
// sample or report, or never.
stats_outcome run_stats(int descriptor, uint64_t interval, bool json_output);
