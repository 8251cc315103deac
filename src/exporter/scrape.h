// SPDX-License-Identifier: BSD-2-Clause
// One scrape: every NVMe controller of the machine, identified and gated as
// volscan does, the statistics of each EBS volume, and the metrics page.
#pragma once

#include "exporter/text_buffer.h"

// Reads every controller and renders the page into out. Keeps the running
// totals of the scrape before. Returns false, with errno set, when the
// controllers could not be listed.
bool scrape(text_buffer* out);
