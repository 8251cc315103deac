// The report of mode "id".
#pragma once

#include "nvme/identify.h"

// Prints the lines that the options select: volume ID, block-device name,
// model, serial number, always in that order. Without options, the volume ID
// and the block-device name.
void print_identity(const char* device_name, const identify_controller_data& data);
