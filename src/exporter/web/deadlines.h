// SPDX-License-Identifier: BSD-2-Clause
// Deadlines for each connection: a request head must come whole soon after
// the connection opens, and its answer must go out in time; one that does
// not is shut down.
#pragma once

#include <cstdint>
#include <microhttpd.h>

constexpr uint64_t one_second = 1000000000; // in nanoseconds
// What an answer may take beyond --scrape.timeout: rendering and sending it.
constexpr uint64_t answer_time = 10 * one_second;

// For MHD_OPTION_NOTIFY_CONNECTION: starts watching a new connection (and
// readies its TLS handshake for the client-certificate policy), and stops
// at its close.
void watch_connection(void* unused, MHD_Connection* connection, void** context,
                      MHD_ConnectionNotificationCode code);

// For MHD_OPTION_NOTIFY_COMPLETED: the next request on a connection kept
// open has as long for its head as the first.
void request_completed(void* unused, MHD_Connection* connection, void** context,
                       MHD_RequestTerminationCode code);

// A request's head came whole: its answer has nanoseconds from now.
void answer_deadline(MHD_Connection* connection, uint64_t nanoseconds);

// Shuts the connections whose deadline passed.
void shut_late_connections();
