// SPDX-License-Identifier: BSD-2-Clause
// The exporter's privileged process: the only one that opens NVMe nodes. It
// answers the records of device_records.h and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exporter/records.h"

// The controllers the device side has listed, the only ones it will read.
// Every controller ever listed, a few times over the most listed at once.
constexpr int max_known = 4 * max_controllers;
struct known_controllers {
    int count;
    char names[max_known][32];
};

// Why a request record is refused, or nullptr when it is one of the two kinds,
// whole, and names a listed controller.
const char* refusal_reason(const void* record, size_t size, const known_controllers& known);

// A controller whose last reading began less than 0.9 s ago is answered from
// that reading instead of being asked again: two Prometheus servers of a
// pair, or a client that scrapes again and again, cost each device about one
// Identify and one log page a second at most, while a scraper every second
// still gets a reading of its own.
constexpr uint64_t reuse_nanoseconds = 900000000;

// When the link closes while the process is still at work (a reader held by
// a hung admin command, say), it ends after this grace period all the same.
constexpr unsigned grace_seconds = 2;

// Serves the requests that arrive on link with at most threads devices read at
// once, until the other side closes it; then ends the process. It first gives
// up what it does not need and sends a ready record; a step that fails ends
// the process with status 1 after a diagnostic.
[[noreturn]] void run_device_side(int link, unsigned threads);
