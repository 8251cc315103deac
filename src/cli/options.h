// SPDX-License-Identifier: BSD-2-Clause
// Invocation names, subcommands and options.
#pragma once

#include <cstdint>

// Process-wide settings, all zero at start. Options write them; the identity
// report may switch on want_bdev and want_volume as its defaults.
struct option_set {
    bool want_bdev;
    bool want_model;
    bool want_serial;
    bool want_volume;
    bool json_output;
    uint64_t interval; // seconds; 0 means a single report
};

extern option_set settings;

extern const char usage_text[];

// Writes the usage text to standard error in one block and exits with status 1.
[[noreturn]] void usage_exit();

// Converts an interval argument the way strtoul does in base 0 and accepts it
// only when it is a whole number from 0 to 4294967295 with nothing after it.
bool parse_interval(const char* text, uint64_t* seconds);

// Chooses the mode ("id" or "stats") from the invocation name and the
// subcommand word, fills settings and returns the device operand. Misuse ends
// the process.
const char* parse_command_line(int argc, char** argv, const char** mode);
