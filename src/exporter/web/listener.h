// SPDX-License-Identifier: BSD-2-Clause
// The listening socket, opened before the metrics side gives up root.
#pragma once

// Binds and listens on host (empty: every address, IPv6 and IPv4 where the
// system allows) and port. Returns the socket, or -1 after a diagnostic that
// names address, as the user gave it.
int open_listener(const char* host, const char* port, const char* address);
