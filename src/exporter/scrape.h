// SPDX-License-Identifier: BSD-2-Clause
// One scrape: every NVMe controller of the machine, identified and gated as
// volscan does, and the statistics of each EBS volume, as the device side
// answers them by the scrape's deadline. Whoever asked renders them.
#pragma once

#include <cstddef>

#include "exporter/readings.h"
#include "exporter/records.h"
#include "exporter/text_buffer.h"

// What one scrape works in: its readings, the page rendered from them and the
// page compressed. Rooms are kept for the next scrapes, so that a steady
// fleet of volumes stops allocating after the first.
struct scrape_room {
    scrape_readings readings;
    text_buffer page;
    text_buffer packed;
};

// A room for one scrape at a time; null when memory ran out.
scrape_room* take_scrape_room();
void give_scrape_room(scrape_room* room);

// Starts taking the device side's answers; after start_device_side. False
// after a diagnostic.
bool start_scrapes();
// Ends the device side and the taking of its answers.
void stop_scrapes();

// One record from the device side, as the socket pair delivers it.
union device_answer {
    list_answer list;
    read_answer read;
};

// Takes an answer of size bytes into what the scrapes read: what the thread
// that start_scrapes starts does with each record it receives.
void take_device_answer(const device_answer& answer, size_t size);

// Reads every controller into readings, by seconds from now: a controller
// that has not answered by then is marked late, without statistics. Safe from
// several threads at once. Returns false, with errno set, when the
// controllers could not be listed.
bool scrape(scrape_readings* readings, double seconds);
