// SPDX-License-Identifier: BSD-2-Clause
// What the device side accepts from the metrics side: two kinds of record,
// whole, for controllers it listed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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

// A list answer naming these controllers.
static list_answer listing(const std::vector<std::string>& names)
{
    list_answer answer{};
    answer.kind = list_answer_kind;
    answer.count = static_cast<int32_t>(names.size());
    for (size_t i = 0; i < names.size(); i++)
        strncpy(answer.controllers[i].controller, names[i].c_str(),
                sizeof answer.controllers[i].controller - 1);
    return answer;
}

TEST(device_side, forgets_controllers_no_longer_listed)
{
    static known_controllers known;
    known = {};
    auto is_known = [&](const std::string& name) {
        device_request r{};
        r.kind = read_request;
        strncpy(r.controller, name.c_str(), sizeof r.controller - 1);
        return refusal_reason(&r, sizeof r, known) == nullptr;
    };
    // Names churn: nvme0 stays, and every list brings a full set of new ones
    // (a fleet of volumes detached and attached again, renumbered).
    for (int list = 1; list <= 100; list++) {
        std::vector<std::string> names = {"nvme0"};
        for (int i = 1; i < max_controllers; i++)
            names.push_back("nvme" + std::to_string(list * max_controllers + i));
        note_listed(&known, listing(names));
        ASSERT_LE(known.count, max_known);
        for (const std::string& name : names)
            ASSERT_TRUE(is_known(name)) << name << " in list " << list;
    }
    // The last forget_after lists' names are known, those before are not.
    int last = 100 * max_controllers + 1;
    EXPECT_TRUE(is_known("nvme0"));
    EXPECT_TRUE(is_known("nvme" + std::to_string(last - (forget_after - 1) * max_controllers)));
    EXPECT_FALSE(is_known("nvme" + std::to_string(last - forget_after * max_controllers)));
    EXPECT_EQ(known.count, 1 + static_cast<int>(forget_after) * (max_controllers - 1));
    // A controller left out of fewer lists than that is still known; one
    // left out of forget_after is forgotten; a failed list forgets nothing new.
    known = {};
    note_listed(&known, listing({"nvme0", "nvme1"}));
    list_answer failed = listing({});
    failed.count = -1;
    for (unsigned list = 1; list < forget_after; list++) {
        note_listed(&known, listing({"nvme0"}));
        note_listed(&known, failed);
    }
    EXPECT_TRUE(is_known("nvme1"));
    note_listed(&known, listing({"nvme0"}));
    EXPECT_FALSE(is_known("nvme1"));
    EXPECT_TRUE(is_known("nvme0"));
}
