// SPDX-License-Identifier: BSD-2-Clause
// SIGTERM and SIGINT stop the exporter. The metrics side blocks them in every
// thread and takes them in the one that waits here; the device side ignores
// them and ends when the metrics side closes the link.
#pragma once

#include <cstdint>

// Blocks the stop signals in this thread and in the threads it starts later.
void hold_stop_signals();

// Waits up to nanoseconds for a stop signal, held before; true when one came.
bool stop_signal_within(uint64_t nanoseconds);

// For the device side: the stop signals are not its to take.
void ignore_stop_signals();
