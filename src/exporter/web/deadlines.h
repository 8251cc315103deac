// SPDX-License-Identifier: BSD-2-Clause
// Deadlines for each connection: a request head must come whole soon after
// the connection opens, and its answer must go out in time; one that does
// not is shut down. The connections are counted here too, by client address
// (an IPv6 client by its network prefix), and a thread of its own enforces
// the deadlines, whatever the server's other threads are busy with.
#pragma once

#include <cstdint>
#include <microhttpd.h>
#include <sys/socket.h>

constexpr uint64_t one_second = 1000000000; // in nanoseconds
// What an answer may take beyond --scrape.timeout: rendering and sending it.
constexpr uint64_t answer_time = 10 * one_second;

// Who counts as one client: an IPv4 address (also one an IPv6 socket shows
// as ::ffff:a.b.c.d), or the first ipv6_prefix bits of an IPv6 address.
struct address_key {
    unsigned char bytes[16];
};
// False, with *key all zero, for an address of any other family.
bool key_of_address(const sockaddr* address, unsigned ipv6_prefix, address_key* key);

// The bounds the connections are watched against: the server's connection
// table, the most connections of one client, and the IPv6 prefix of a client.
void set_connection_bounds(unsigned table, unsigned per_client, unsigned ipv6_prefix);

// For MHD_OPTION_NOTIFY_CONNECTION: starts watching a new connection (and
// readies its TLS handshake for the client-certificate policy), shutting it
// at once when its client holds its share already; and stops at its close.
void watch_connection(void* unused, MHD_Connection* connection, void** context,
                      MHD_ConnectionNotificationCode code);

// For MHD_OPTION_NOTIFY_COMPLETED: the next request on a connection kept
// open has as long for its head as the first.
void request_completed(void* unused, MHD_Connection* connection, void** context,
                       MHD_RequestTerminationCode code);

// A request's head came whole: its answer has nanoseconds from now.
void answer_deadline(MHD_Connection* connection, uint64_t nanoseconds);

// Shuts the connections whose deadline passed: a head has 5 s, or 1 s while
// the connection table is three quarters full.
void shut_late_connections();

// The thread that calls shut_late_connections several times a second, until
// stopped. False when it could not start.
bool start_deadline_thread();
void stop_deadline_thread();
