// SPDX-License-Identifier: BSD-2-Clause
// What the device side accepts from the metrics side: two kinds of record,
// whole, for controllers it listed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "exporter/device/device_side.h"

TEST(device_side, refusal_reason)
{
    static known_controllers known;
    known.count = 2;
    strcpy(known.names[0], "nvme0");
    strcpy(known.names[1], "nvme12");
    auto record = [](uint32_t kind, const char* controller) {
        device_request r{};
        r.kind = kind;
        r.tag = 7;
        strncpy(r.controller, controller, sizeof r.controller);
        return r;
    };
    device_request unterminated = record(read_request, "");
    memset(unterminated.controller, '1', sizeof unterminated.controller);
    memcpy(unterminated.controller, "nvme", 4);
    struct row {
        const char* name;
        device_request request;
        size_t size;
        const char* reason; // nullptr: accepted
    } rows[] = {
        {"list", record(list_request, ""), sizeof(device_request), nullptr},
        {"listed", record(read_request, "nvme0"), sizeof(device_request), nullptr},
        {"listed, two digits", record(read_request, "nvme12"), sizeof(device_request), nullptr},
        {"short", record(list_request, ""), sizeof(device_request) - 1, "a record of the wrong size"},
        {"empty", record(list_request, ""), 0, "a record of the wrong size"},
        {"kind 0", record(0, "nvme0"), sizeof(device_request), "a request of an unknown kind"},
        {"kind 3", record(3, "nvme0"), sizeof(device_request), "a request of an unknown kind"},
        {"not listed", record(read_request, "nvme3"), sizeof(device_request),
         "a controller it has not listed"},
        {"prefix of a listed one", record(read_request, "nvme1"), sizeof(device_request),
         "a controller it has not listed"},
        {"namespace", record(read_request, "nvme0n1"), sizeof(device_request),
         "a name that is not an NVMe controller's"},
        {"path", record(read_request, "../nvme0"), sizeof(device_request),
         "a name that is not an NVMe controller's"},
        {"device path", record(read_request, "/dev/nvme0"), sizeof(device_request),
         "a name that is not an NVMe controller's"},
        {"no number", record(read_request, "nvme"), sizeof(device_request),
         "a name that is not an NVMe controller's"},
        {"empty name", record(read_request, ""), sizeof(device_request),
         "a name that is not an NVMe controller's"},
        {"unterminated", unterminated, sizeof(device_request),
         "a name that is not an NVMe controller's"},
    };
    for (const row& r : rows) {
        const char* reason = refusal_reason(&r.request, r.size, known);
        EXPECT_EQ(std::string(reason ? reason : "accepted"),
                  std::string(r.reason ? r.reason : "accepted")) << r.name;
    }
    // One byte more than a record: what a receive of a longer record gives.
    char longer[sizeof(device_request) + 1] = {};
    EXPECT_STREQ(refusal_reason(longer, sizeof longer, known), "a record of the wrong size");
}
