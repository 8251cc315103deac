// SPDX-License-Identifier: BSD-2-Clause
// The records that cross the socket pair between the exporter's two
// processes. The metrics side may ask only two things of the device side:
// the list of the NVMe controllers, and the identity and statistics of one
// controller from that list. Every record has a fixed size, and the socket
// keeps the records' bounds, so a record of any other size is refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "identity/volume_identity.h"
#include "nvme/controller_limit.h"
#include "nvme/trim_field.h"
#include "stats/stats_log.h"

constexpr uint32_t list_request = 1;
constexpr uint32_t read_request = 2;

struct device_request {
    uint32_t kind; // list_request or read_request
    uint32_t tag;  // comes back in the answer
    char controller[32]; // read_request: "nvme3", NUL-terminated
};

static_assert(sizeof(device_request) == 40);

constexpr uint32_t list_answer_kind = 1;
constexpr uint32_t read_answer_kind = 2;
constexpr uint32_t refusal_kind = 3;
// Sent once, first, when the device side has given up what it does not need
// and is ready for requests.
constexpr uint32_t ready_kind = 4;

struct listed_controller {
    char controller[32]; // its node under /dev: "nvme0"
    char device[64];     // the block device users see for it: "nvme0n1"
};

struct list_answer {
    uint32_t kind; // list_answer_kind
    uint32_t tag;
    int32_t count; // -1: the list could not be read
    int32_t error; // errno when count is -1
    listed_controller controllers[max_controllers];
};

static_assert(sizeof(list_answer) == 16 + 96 * max_controllers);

// The step of a read that failed.
enum class read_step : uint32_t {
    none,
    open,           // the node could not be opened, or is not an NVMe controller
    identify,       // Identify
    identity,       // memory ran out while reading the identity's text fields
    statistics,     // Get Log Page 0xD0
    refused,        // the device side refused the request
};

enum class read_failure : uint32_t {
    none,
    request,    // the request failed: error holds errno
    completion, // the controller completed it with an error status
    signature,  // the page lacks the statistics signature
};

struct read_answer {
    uint32_t kind; // read_answer_kind, or refusal_kind for any refused request
    uint32_t tag;
    char controller[32];
    uint8_t platform_device; // 0: another vendor's or model's controller
    uint8_t identified;      // identity read and accepted
    uint8_t is_ebs;
    uint8_t has_stats;       // page holds this read's statistics
    read_step failed_step;
    read_failure failure;
    int32_t error;
    uint64_t nanoseconds; // time the device side spent on the requests
    volume_identity identity;
    ebs_stats_log page;
};

static_assert(offsetof(read_answer, failed_step) == 44);
static_assert(offsetof(read_answer, nanoseconds) == 56);
static_assert(offsetof(read_answer, identity) == 64);
static_assert(offsetof(read_answer, page) == 200);
static_assert(sizeof(read_answer) == 200 + 4096);
