// SPDX-License-Identifier: BSD-2-Clause
// Shared pieces of the end-to-end tests: expected texts and a runner that
// checks standard output, standard error and exit status together.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bed.h"

extern const char usage[];

// One invocation and what it must produce, byte for byte.
struct expect_run {
    std::vector<std::string> argv;
    std::string out;
    std::string err;
    int status;
};

// Runs the invocation on the bed and checks every byte; also fails on any
// request that a real controller would refuse.
void check_run(const expect_run& run, const run_options& options = run_options());

// What the EBS volume fixture prints.
extern const char ebs_identity[];
extern const char example_text[];
extern const char example_json[];

std::ostream& operator<<(std::ostream& os, const expect_run& run);
