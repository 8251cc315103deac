// SPDX-License-Identifier: BSD-2-Clause
// The Identify Controller command and the few bytes of its data that volscan reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nvme/driver.h"

struct identify_controller_data {
    uint8_t vid[2];        // PCI vendor id, little-endian
    uint8_t ssvid[2];
    char sn[20];           // serial number, space padded
    char mn[40];           // model number, space padded
    uint8_t unread[3008];
    char vs_bdev[32];      // vendor specific: the block-device name the platform reports
    uint8_t vs_rest[992];
};

static_assert(sizeof(identify_controller_data) == 4096);
static_assert(offsetof(identify_controller_data, sn) == 4);
static_assert(offsetof(identify_controller_data, mn) == 24);
static_assert(offsetof(identify_controller_data, vs_bdev) == 3072);

constexpr uint8_t NVME_OPC_IDENTIFY = 0x06;

// Zero-fills data and asks the controller for its Identify Controller data.
admin_outcome identify_controller(int descriptor, identify_controller_data* data);

uint16_t identify_vendor(const identify_controller_data& data);

constexpr char ebs_model[] = "Amazon Elastic Block Store";
constexpr char instance_storage_model[] = "Amazon EC2 NVMe Instance Storage";

// What a controller is, by its vendor id and then its model.
enum class device_kind {
    ebs_volume,
    instance_storage,
    other_vendor, // not the platform's vendor id
    other_model,  // the platform's vendor id, but neither of its two models
    no_memory,    // the model could not be read; errno tells why
};

// The gate that admits only the platform's own NVMe devices.
device_kind controller_kind(const identify_controller_data& data);
