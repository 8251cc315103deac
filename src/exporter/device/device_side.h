// SPDX-License-Identifier: BSD-2-Clause
// The exporter's privileged process: the only one that opens NVMe nodes. It
// answers the records of device_records.h and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exporter/records.h"

// The controllers the device side has listed, the only ones it will read: a
// name is forgotten once forget_after lists in a row have left it out (a
// controller gone, or renumbered), so however the names churn, those listed
// lately always fit.
constexpr unsigned forget_after = 4;
constexpr int max_known = forget_after * max_controllers;
struct known_controllers {
    int count;
    uint32_t lists;             // lists noted so far
    char names[max_known][32];
    uint32_t listed[max_known]; // the list that last named each
};

// Notes the controllers of a list answered: each one is known from now on,
// and those left out of the last forget_after lists are forgotten. A list that
// failed counts for nothing.
void note_listed(known_controllers* known, const list_answer& answer);

// At most refusal_lines lines a minute say why a record was refused; the
// rest are counted, and one line says how many when the minute is over or the
// link closes. A metrics side that sends nothing but refused records cannot
// flood the log of the privileged process.
constexpr int refusal_lines = 16;
constexpr uint64_t refusal_period_nanoseconds = 60000000000;

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
