// SPDX-License-Identifier: BSD-2-Clause
// The metrics side's end of the socket pair to the device side.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "exporter/records.h"

#include <ctime>

// Forks the device side, which serves at most threads reads at once, and
// waits until it is ready. Done before any other thread or network socket
// exists. False after a diagnostic, the device side's own when it could not
// give up what it should.
bool start_device_side(unsigned threads);

// Sends one request by deadline (CLOCK_MONOTONIC) without ever waiting past
// it; false when the device side took nothing by then. A device side that is
// gone ends the process with status 1.
bool send_device_request(const device_request& request, const timespec& deadline);

// Waits for the next answer; its size. 0 once stop_device_side closed the link;
// a device side that ended ends the process with status 1.
size_t receive_device_answer(void* buffer, size_t size);

// Closes the link, which ends the device side, and reaps it for a moment.
void stop_device_side();
