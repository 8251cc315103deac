// SPDX-License-Identifier: BSD-2-Clause
// Fatal diagnostics in the style of err(3) and errx(3), prefixed with the
// invocation name, and the final check of standard output.
#pragma once

// Remembers the invocation name that prefixes every diagnostic; until it is
// set the prefix is empty.
void set_invocation_name(const char* name);

// "name: message: strerror(errno)\n" on standard error, exit status 1.
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "name: message\n" on standard error, exit status 1.
[[noreturn]] void fatalx(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Flushes standard output and ends with the diagnostic "stdout" when that, or
// any write before it, failed: a report that did not reach its reader must not
// end with status 0.
void check_stdout();
