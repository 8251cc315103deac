// SPDX-License-Identifier: BSD-2-Clause
// The exporter's privileged process: the only one that opens NVMe nodes. It
// answers the records of device_records.h and nothing else.
#pragma once

#include <cstddef>

#include "exporter/device_records.h"

// The controllers the device side has listed, the only ones it will read.
constexpr int max_known = 256;
struct known_controllers {
    int count;
    char names[max_known][32];
};

// Why a request record is refused, or nullptr when it is one of the two kinds,
// whole, and names a listed controller.
const char* refusal_reason(const void* record, size_t size, const known_controllers& known);

// Serves the requests that arrive on link with at most threads devices read at
// once, until the other side closes it; then ends the process.
[[noreturn]] void run_device_side(int link, unsigned threads);
