// SPDX-License-Identifier: BSD-2-Clause
// A controller's identity as the front ends keep it, in fixed fields: a
// 20-byte serial, a 40-byte model and a 32-byte block-device name always fit.
// It needs nothing of the device layers, so records that cross between
// processes can hold it.
#pragma once

struct volume_identity {
    char volume_id[24];
    char serial[24];
    char model[48];
    char block_device[40]; // the name the platform reports: sdf
};
