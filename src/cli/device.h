// SPDX-License-Identifier: BSD-2-Clause
// Device selection: from the operand to an open controller that is one of the
// platform's own NVMe devices, then the report of the mode.
#pragma once

#include "nvme/identify.h"

// The operand less one leading "/dev/"; it names the device in diagnostics.
const char* strip_dev_prefix(const char* operand);

// Opens "/dev/" + device_name read-only and, when that node is a namespace,
// its controller's node instead. Returns the controller descriptor.
int open_controller(const char* device_name);

// Returns only for an EBS volume or an instance-storage disk.
void classify_device(const identify_controller_data& data, const char* device_name);

// open_controller, Identify and classify_device: returns only with the
// controller descriptor of one of the platform's devices.
int open_platform_device(const char* device_name, identify_controller_data* identify);

// Runs the whole device part of an invocation and exits with status 0.
[[noreturn]] void run_device(const char* mode, const char* operand);
