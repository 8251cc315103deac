// SPDX-License-Identifier: BSD-2-Clause
// main() for a GoogleTest program whose tests run volscan on the test bed:
// one bed, made before the first test and removed after the last.
#pragma once

#include <gtest/gtest.h>

#include "bed.h"

struct bed_environment : ::testing::Environment {
    void SetUp() override { bed_start(VOLSCAN_BINARY, BED_SHIM); }
    void TearDown() override { bed_stop(); }
};

inline int run_tests_on_bed(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new bed_environment);
    return RUN_ALL_TESTS();
}
