// SPDX-License-Identifier: BSD-2-Clause
#include "nvme/discovery.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

int list_devices(controller_entry* entries, int max)
{
    int count = list_controllers(entries, max);
    return count < 0 ? count : distinct_devices(entries, count);
}

int open_listed_node(const char* name)
{
    if (controller_number(name) < 0) {
        errno = ENODEV;
        return -1;
    }
    return open_controller_node(name);
}

int open_listed_controller(const char* name)
{
    int descriptor = open_listed_node(name);
    if (descriptor < 0)
        return -1;
    if (is_controller_node(descriptor, name))
        return descriptor;
    close(descriptor);
    errno = ENODEV;
    return -1;
}

bool is_controller_node(int descriptor, const char* name)
{
    struct stat node;
    node_nsid which;
    if (fstat(descriptor, &node) == 0 && S_ISCHR(node.st_mode) && get_nsid(descriptor, &which) == 0
        && which.nsid == 0 && strcmp(which.cdev, name) == 0)
        return true;
    errno = ENODEV;
    return false;
}

controller_probe probe_controller(const char* name, identify_controller_data* data)
{
    controller_probe probe{};
    probe.descriptor = open_listed_controller(name);
    if (probe.descriptor < 0) {
        probe.identify = admin_outcome::request_failed;
        probe.error = errno;
        return probe;
    }
    probe.identify = identify_controller(probe.descriptor, data);
    probe.error = probe.identify == admin_outcome::request_failed ? errno : 0;
    return probe;
}
