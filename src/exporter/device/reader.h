// SPDX-License-Identifier: BSD-2-Clause
// What the device side's readers do with one request: open the listed
// controller, identify it, gate it, and read an EBS volume's statistics.
#pragma once

#include "exporter/records.h"

// Fills answer (up to its page, and the page when the statistics were read)
// for request, whose controller the device side has listed. Safe from
// several reader threads at once, each with its own answer.
void read_controller(const device_request& request, read_answer* answer);
