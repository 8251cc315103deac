// SPDX-License-Identifier: BSD-2-Clause
// The report of mode "id".
#pragma once

#include "identity/identity.h"

// Which lines the report prints.
struct identity_selection {
    bool want_bdev;
    bool want_model;
    bool want_serial;
    bool want_volume;
};

enum class identity_outcome {
    printed,
    not_ebs,   // volume ID or block-device name asked of another device; nothing printed
    no_memory, // errno tells why; nothing printed
};

// Prints the selected lines: volume ID, block-device name, model, serial
// number, always in that order. With nothing selected it selects the volume
// ID and the block-device name.
identity_outcome print_identity(const identify_controller_data& data, identity_selection* wanted);
