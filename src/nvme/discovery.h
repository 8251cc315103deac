// SPDX-License-Identifier: BSD-2-Clause
// How a front end finds the machine's volumes: list the controllers, keep one
// entry per device, open each listed controller and ask it who it is. volscan
// top and the exporter's device side both walk it.
#pragma once

#include "nvme/driver.h"
#include "nvme/identify.h"

// The machine's controllers, one entry per device (the controllers of one
// multipath namespace show its head once), in the order of their numbers.
// Returns how many, or -1 with errno set.
int list_devices(controller_entry* entries, int max);

// Opens the node of a listed controller read-only and close-on-exec (see
// open_controller_node), and checks that it is still that controller (see
// is_controller_node). Returns the descriptor, or -1 with errno set (ENODEV
// for another node).
int open_listed_controller(const char* name);

// The first half of that: the node of a listed controller's name opened, not
// yet checked, for a caller that narrows what the descriptor may do before it
// asks anything of it. -1 with errno set (ENODEV for a name no controller has).
int open_listed_node(const char* name);

// Whether the open node is the controller of that name: a character device
// that the driver calls controller, not a namespace or another device that
// took the name. False with errno set to ENODEV.
bool is_controller_node(int descriptor, const char* name);

// What asking a listed controller who it is came to.
struct controller_probe {
    int descriptor;          // open when >= 0; the caller closes it
    admin_outcome identify;  // of the Identify command, once the node is open
    int error;               // errno of the step that failed
};

// open_listed_controller, then Identify into data. The caller takes the
// gate (controller_kind) when identify is success.
controller_probe probe_controller(const char* name, identify_controller_data* data);
