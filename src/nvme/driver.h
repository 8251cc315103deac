// SPDX-License-Identifier: BSD-2-Clause
// The requests volscan makes of the operating system's NVMe driver. Each
// system has one source behind these declarations; nothing else issues ioctls.
#pragma once

#include <cstdint>

#include "nvme/controller_limit.h"

// Which namespace an open node is, and the name of its controller's node.
struct node_nsid {
    char cdev[256]; // controller node name, without "/dev/"
    uint32_t nsid;  // 0 when the node is the controller itself
};

// Asks the driver which controller and namespace the open node belongs to.
// Returns 0, or -1 with errno set.
int get_nsid(int descriptor, node_nsid* result);

// The fields of an admin command that volscan sets; every other field of the
// driver's record is zero.
struct admin_command {
    uint8_t opc;
    uint32_t nsid;
    uint32_t cdw10;
    void* buf;
    uint32_t len;
    uint32_t is_read;
};

enum class admin_outcome {
    success,
    request_failed,   // the request itself failed; errno tells why
    completion_error, // the controller completed it with an error status
};

// Sends one admin command through the driver's passthrough request.
admin_outcome submit_admin(int descriptor, const admin_command& command);

// The completion check shared by both drivers: Status Code or Status Code Type
// set. The phase bit and bits 12-15 do not count.
admin_outcome completion_outcome(uint16_t status);

// One NVMe controller of the machine.
struct controller_entry {
    char controller[32]; // its node under /dev: "nvme0"
    char device[64];     // the block device users see for its first namespace
                         // ("nvme0n1", a multipath head, ...), or the
                         // controller's own name when it has none
};


// Opens the node of the controller named ("nvme0") under /dev, read-only.
// Returns the descriptor, or -1 with errno set.
int open_controller_node(const char* name);

// Opens /dev once, for a process about to lose the file system's names
// (FreeBSD's capability mode): from then on list_controllers and
// open_controller_node go through that descriptor, which it sets folder to, so
// that the caller can narrow its rights. Where nodes are always opened by path
// (Linux) it holds nothing and sets folder to -1. False with errno set.
bool hold_device_folder(int* folder);

// Lists the machine's NVMe controllers, at most max (up to
// max_controllers) of them, in the order of their numbers. Returns how
// many, or -1 with errno set.
int list_controllers(controller_entry* entries, int max);

// Keeps the first entry of each device and drops the others, in place: the
// controllers of one multipath namespace share its head. Returns how many
// remain, in their order.
int distinct_devices(controller_entry* entries, int count);

// Puts entries in the order of their controllers' numbers (nvme2 before nvme10).
void sort_controllers(controller_entry* entries, int count);

// A controller's number from the digits after "nvme" at the start of name;
// *rest is set to what follows them. -1 when name does not start so.
long controller_number_prefix(const char* name, const char** rest);

// A controller's number from its node name "nvmeN", nothing after the
// digits, or -1 for any other name.
long controller_number(const char* name);
