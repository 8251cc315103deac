// SPDX-License-Identifier: BSD-2-Clause
// The FreeBSD driver, run on this machine: every request it hands nvme(4),
// byte for byte against the records' layout on FreeBSD (amd64 and arm64 alike),
// and every way a request can end. The driver's ioctl calls land in the
// stand-in below, which keeps a copy of the record and answers as nvme(4) does.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "nvme/driver.h"
#include "nvme/identify.h"
#include "stats/log_page.h"

namespace {

// FreeBSD's request numbers: _IOWR('n', 0, struct nvme_pt_command) and
// _IOR('n', 2, struct nvme_get_nsid).
constexpr unsigned long passthrough_request = 0xC0686E00;
constexpr unsigned long get_nsid_request = 0x41046E02;

// struct nvme_pt_command: cmd (opc 0, nsid 4, cdw10 40), cpl (cdw0 64,
// sqhd 72, sqid 74, cid 76, status 78), buf 80, len 88, is_read 92,
// driver_lock 96, which must stay null. struct nvme_get_nsid: cdev 0-255,
// nsid 256.
constexpr size_t passthrough_size = 104;
constexpr size_t get_nsid_size = 260;

constexpr int node = 37; // the descriptor the driver is given

struct exchange {
    int calls;
    int descriptor;
    unsigned long request;
    uint8_t record[get_nsid_size]; // as the driver handed it over
    int fail_errno;                // when set, the request fails with it
    size_t answer_at;              // and otherwise these bytes land here
    size_t answer_size;
    uint8_t answer[get_nsid_size];
};
exchange seen;

void put(uint8_t* bytes, size_t at, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; i++)
        bytes[at + i] = static_cast<uint8_t>(value >> 8 * i);
}

void answer(size_t at, const void* bytes, size_t size)
{
    seen.answer_at = at;
    seen.answer_size = size;
    memcpy(seen.answer, bytes, size);
}

// The offsets at which two records differ, for the failure message.
std::string differences(const uint8_t* got, const uint8_t* want, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; i++)
        if (got[i] != want[i])
            text += " " + std::to_string(i);
    return text.empty() ? "none" : "at" + text;
}

} // namespace

// FreeBSD's ioctl(2) as the driver sees it. Descriptors other than the test's
// go to the kernel.
extern "C" int ioctl(int descriptor, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    auto* record = va_arg(args, uint8_t*);
    va_end(args);
    if (descriptor != node)
        return static_cast<int>(syscall(SYS_ioctl, descriptor, request, record));

    seen.calls++;
    seen.descriptor = descriptor;
    seen.request = request;
    size_t size = request >> 16 & 0x1FFF; // the record's size, from the request
    memcpy(seen.record, record, size < sizeof seen.record ? size : sizeof seen.record);
    if (seen.fail_errno != 0) {
        errno = seen.fail_errno;
        return -1;
    }
    memcpy(record + seen.answer_at, seen.answer, seen.answer_size);
    return 0;
}

namespace {

struct freebsd_driver : ::testing::Test {
    void SetUp() override { seen = exchange{}; }
};

uint8_t data[4096];
identify_controller_data identify_data;
ebs_stats_log stats_page;

struct request_case {
    const char* title;
    admin_command command;
    void (*send)(const admin_command&); // how the request is made
};

void submit(const admin_command& command) { submit_admin(node, command); }
void identify(const admin_command&) { identify_controller(node, &identify_data); }
void fetch_stats(const admin_command&) { fetch_stats_log(node, &stats_page); }

const request_case request_cases[] = {
    // The program's own two requests, with what they must carry: Identify
    // Controller (CNS 1), and all 1024 words of log page 0xD0 of namespace 1.
    {"identify_controller", {0x06, 0, 1, &identify_data, 4096, 1}, identify},
    {"statistics_log_page", {0x02, 1, 0x03FF00D0, &stats_page, 4096, 1}, fetch_stats},
    // Every field of admin_command, no two bytes alike, in both directions.
    {"each_field_in_place", {0xA5, 0x9ABCDEF0, 0x12345678, data + 3, 0x00012345, 1}, submit},
    {"write_direction", {0x5A, 0xFFFFFFFF, 0x87654321, data, 4096, 0}, submit},
};

TEST_F(freebsd_driver, passthrough_record_carries_each_field_and_nothing_else)
{
    for (const request_case& c : request_cases) {
        SCOPED_TRACE(c.title);
        seen = exchange{};
        c.send(c.command);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.descriptor, node);
        EXPECT_EQ(seen.request, passthrough_request);

        uint8_t want[passthrough_size] = {};
        put(want, 0, c.command.opc, 1);
        put(want, 4, c.command.nsid, 4);
        put(want, 40, c.command.cdw10, 4);
        put(want, 80, reinterpret_cast<uintptr_t>(c.command.buf), 8);
        put(want, 88, c.command.len, 4);
        put(want, 92, c.command.is_read, 4);
        EXPECT_EQ(memcmp(seen.record, want, sizeof want), 0)
            << "bytes that differ " << differences(seen.record, want, sizeof want);
    }
}

TEST_F(freebsd_driver, outcome_from_the_request_and_the_completion_status)
{
    const struct {
        int fail_errno;
        uint16_t status; // host order, as the driver hands it back
        admin_outcome outcome;
    } cases[] = {
        {0, 0x0000, admin_outcome::success},
        {0, 0x0001, admin_outcome::success},          // phase
        {0, 0xF001, admin_outcome::success},          // CRD, M, DNR, phase
        {0, 0x0002, admin_outcome::completion_error}, // lowest Status Code bit
        {0, 0x0100, admin_outcome::completion_error}, // highest Status Code bit
        {0, 0x0200, admin_outcome::completion_error}, // lowest Status Code Type bit
        {0, 0x0E00, admin_outcome::completion_error},
        {0, 0x8004, admin_outcome::completion_error}, // Invalid Field, DNR
        {EACCES, 0, admin_outcome::request_failed},
        {ENOTTY, 0, admin_outcome::request_failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "errno " << c.fail_errno << ", status 0x" << std::hex
                                        << c.status);
        seen = exchange{};
        seen.fail_errno = c.fail_errno;
        // The rest of the completion is not the status: all ones.
        uint8_t completion[16];
        memset(completion, 0xFF, sizeof completion);
        memcpy(completion + 14, &c.status, 2);
        answer(64, completion, sizeof completion);

        errno = 0;
        EXPECT_EQ(submit_admin(node, admin_command{0x02, 1, 0x03FF00D0, data, 4096, 1}), c.outcome);
        EXPECT_EQ(errno, c.fail_errno);
        EXPECT_EQ(seen.calls, 1);
    }
}

TEST_F(freebsd_driver, get_nsid_copies_the_controller_name_and_namespace)
{
    const std::string longest(255, 'n');
    const struct {
        const char* title;
        std::string cdev; // the driver's answer, up to all 256 bytes
        uint32_t nsid;
        std::string name; // what a reader of node_nsid::cdev sees
    } cases[] = {
        {"namespace", "nvme0", 1, "nvme0"},
        {"controller", "nvme3", 0, "nvme3"},
        {"nsid_all_bytes", "nvme12", 0xFEDCBA98, "nvme12"},
        {"after_the_nul", std::string("nvme4\0nvme5", 11), 2, "nvme4"},
        {"longest_name", longest, 1, longest},
        {"no_nul_at_all", std::string(256, 'x'), 1, std::string(255, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        seen = exchange{};
        uint8_t reply[get_nsid_size] = {};
        memcpy(reply, c.cdev.data(), c.cdev.size());
        put(reply, 256, c.nsid, 4);
        answer(0, reply, sizeof reply);

        node_nsid result;
        memset(&result, 0x55, sizeof result);
        EXPECT_EQ(get_nsid(node, &result), 0);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.descriptor, node);
        EXPECT_EQ(seen.request, get_nsid_request);
        EXPECT_EQ(result.nsid, c.nsid);
        EXPECT_EQ(std::string(result.cdev, strnlen(result.cdev, sizeof result.cdev)), c.name);
    }
}

TEST_F(freebsd_driver, get_nsid_failure_keeps_errno)
{
    seen.fail_errno = ENOTTY;
    node_nsid result;
    errno = 0;
    EXPECT_EQ(get_nsid(node, &result), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(seen.request, get_nsid_request);
}

} // namespace
