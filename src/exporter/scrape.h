// SPDX-License-Identifier: BSD-2-Clause
// One scrape: every NVMe controller of the machine, identified and gated as
// volscan does, the statistics of each EBS volume, and the metrics page.
#pragma once

#include "exporter/text_buffer.h"

// Starts taking the device side's answers; after start_device_side. False
// after a diagnostic.
bool start_scrapes();
// Ends the device side and the taking of its answers.
void stop_scrapes();

// Reads every controller and renders the page into out, by seconds from now:
// a controller that has not answered by then is shown as failed, without
// statistics. Safe from several threads at once. Returns false, with errno
// set, when the controllers could not be listed.
bool scrape(text_buffer* out, double seconds);
