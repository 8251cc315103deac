// SPDX-License-Identifier: BSD-2-Clause
// The identity of a volume as its controller reports it.
#pragma once

#include <cstddef>

#include "identity/volume_identity.h"
#include "nvme/identify.h"

// The three text fields, each from trim_field.
struct identity_fields {
    char* serial;
    char* model;
    char* bdev;
};

// Derives serial, model and block-device name, in that order. Returns false,
// with errno set and nothing left allocated, when memory runs out.
bool read_identity_fields(const identify_controller_data& data, identity_fields* fields);
void free_identity_fields(identity_fields* fields);

// Only an EBS volume has a volume ID and a block-device name.
bool is_ebs_model(const char* model);

// The volume ID is the serial number with a hyphen after its leading "vol".
constexpr size_t volume_id_size = 22; // a 20-byte serial, the hyphen, NUL
void volume_id(const char* serial, char (&id)[volume_id_size]);

// The block-device name the platform reports, less a leading "/dev/".
const char* bdev_name(const char* bdev);

// Fills identity from the controller's data: the volume ID derived from the
// serial, the block-device name less "/dev/". False, with errno set, when
// memory runs out.
bool fill_volume_identity(const identify_controller_data& data, volume_identity* identity);
