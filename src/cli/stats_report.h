// SPDX-License-Identifier: BSD-2-Clause
// Printing one statistics page, as text tables or as one JSON line. Both
// renderers flush standard output when done.
#pragma once

#include "stats/log_page.h"

void print_stats_text(const ebs_stats_log& page);
void print_stats_json(const ebs_stats_log& page);
void print_histogram_json(const char* name, const latency_histogram& histogram);
