// SPDX-License-Identifier: BSD-2-Clause
// The exporter's log: one line per event on standard error, which the
// service manager keeps (the journal under systemd, syslog under daemon(8)).
#pragma once

// Writes "volscan-exporter: message" as one line.
void log_message(const char* format, ...) __attribute__((format(printf, 1, 2)));
