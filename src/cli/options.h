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
    uint64_t count;    // top: reports before it stops; 0 means no end
    char** operands;   // top: its device operands, possibly none
    int operand_count;
};

extern option_set settings;

extern const char usage_text[];
extern const char top_usage_text[];

// Writes the usage text to standard error in one block and exits with status 1.
[[noreturn]] void usage_exit();

// Converts an interval argument the way strtoul does in base 0 and accepts it
// only when it is a whole number from 0 to 4294967295 with nothing after it.
bool parse_interval(const char* text, uint64_t* seconds);

// Chooses the mode ("id", "stats" or "top") from the invocation name and the
// subcommand word, fills settings and returns the device operand. Misuse ends
// the process; so do --help and --version, once answered. Mode "top" takes any
// number of operands: they are in settings, and the return value is null.
const char* parse_command_line(int argc, char** argv, const char** mode);
