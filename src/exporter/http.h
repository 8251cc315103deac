// SPDX-License-Identifier: BSD-2-Clause
// The HTTP side: the listening socket and the server.
#pragma once

// Binds and listens on [host]:port. Returns the socket, or -1 after a
// diagnostic on standard error.
int open_listener(const char* address);

// Serves the metrics, the index page and nothing else on the socket until
// SIGTERM or SIGINT. Returns the process's exit status.
int serve_http(int listener);
