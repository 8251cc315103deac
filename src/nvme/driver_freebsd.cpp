// SPDX-License-Identifier: BSD-2-Clause
// nvme(4): the driver answers NVME_GET_NSID itself and passes admin commands
// through NVME_PASSTHROUGH_CMD.
#include "nvme/driver.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/ioctl.h>
#include <sys/endian.h>
#include <dev/nvme/nvme.h>

static_assert(sizeof(nvme_get_nsid::cdev) <= sizeof(node_nsid::cdev));

int get_nsid(int descriptor, node_nsid* result)
{
    struct nvme_get_nsid request;
    memset(&request, 0, sizeof request);
    if (ioctl(descriptor, NVME_GET_NSID, &request) != 0)
        return -1;
    memset(result, 0, sizeof *result);
    memcpy(result->cdev, request.cdev, sizeof request.cdev);
    result->cdev[sizeof request.cdev - 1] = '\0';
    result->nsid = request.nsid;
    return 0;
}

admin_outcome submit_admin(int descriptor, const admin_command& command)
{
    struct nvme_pt_command pt;
    memset(&pt, 0, sizeof pt);
    pt.cmd.opc = command.opc;
    pt.cmd.nsid = htole32(command.nsid);
    pt.cmd.cdw10 = htole32(command.cdw10);
    pt.buf = command.buf;
    pt.len = command.len;
    pt.is_read = command.is_read;
    if (ioctl(descriptor, NVME_PASSTHROUGH_CMD, &pt) != 0)
        return admin_outcome::request_failed;
    // The driver hands the completion back in host order.
    return completion_outcome(pt.cpl.status);
}

// The digits of "nvmeN" or of "nvmeNnsM" in a /dev entry: sets number (and
// nsid, 0 for a controller node), or returns false for any other name.
static bool node_numbers(const char* name, long* number, long* nsid)
{
    const char* rest;
    *number = controller_number_prefix(name, &rest);
    *nsid = 0;
    if (*number < 0)
        return false;
    if (*rest == '\0')
        return true;
    if (strncmp(rest, "ns", 2) != 0 || rest[2] < '0' || rest[2] > '9')
        return false;
    char* end;
    *nsid = strtol(rest + 2, &end, 10);
    return *end == '\0';
}

// nvme(4) makes a node nvmeN for each controller and nvmeNnsM for each of its
// namespaces; the namespace node names the device.
// The names in /dev, read with getdirentries into a buffer of its own:
// opendir allocates, and a listing at every interval of a long run must not.
struct node_names {
    int descriptor;
    long used;
    long at;
    alignas(8) char buffer[8192];
};

static const char* next_name(node_names* names)
{
    if (names->at >= names->used) {
        off_t base;
        names->used = getdirentries(names->descriptor, names->buffer, sizeof names->buffer, &base);
        names->at = 0;
        if (names->used <= 0)
            return nullptr;
    }
    const dirent* entry = reinterpret_cast<const dirent*>(names->buffer + names->at);
    if (entry->d_reclen == 0)
        return nullptr;
    names->at += entry->d_reclen;
    return entry->d_name;
}

// /dev, opened by hold_device_folder; -1 while nodes are opened by path.
static int device_folder = -1;

bool hold_device_folder(int* folder)
{
    if (device_folder < 0)
        device_folder = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *folder = device_folder;
    return device_folder >= 0;
}

int open_controller_node(const char* name)
{
    if (device_folder >= 0) {
        // A name, not a path: capability mode refuses ".." and "/" anyway.
        if (strchr(name, '/') != nullptr) {
            errno = EINVAL;
            return -1;
        }
        return openat(device_folder, name, O_RDONLY | O_CLOEXEC);
    }
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "/dev/%s", name) >= static_cast<int>(sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open(path, O_RDONLY | O_CLOEXEC);
}

int list_controllers(controller_entry* entries, int max)
{
    static node_names names;
    // The held folder is read again from its start; devfs lists afresh.
    if (device_folder >= 0) {
        names.descriptor = device_folder;
        if (lseek(device_folder, 0, SEEK_SET) < 0)
            return -1;
    } else
        names.descriptor = open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    names.used = names.at = 0;
    if (names.descriptor < 0)
        return -1;
    long numbers[max_controllers];
    long lowest_nsid[max_controllers]; // 0 until a namespace node is seen
    int found = 0;
    if (max > max_controllers)
        max = max_controllers;
    while (const char* name = next_name(&names)) {
        long number, nsid;
        if (!node_numbers(name, &number, &nsid))
            continue;
        int at = 0;
        while (at < found && numbers[at] != number)
            at++;
        if (at == found && found == max)
            continue;
        if (at == found) {
            numbers[found] = number;
            lowest_nsid[found++] = 0;
        }
        if (nsid > 0 && (lowest_nsid[at] == 0 || nsid < lowest_nsid[at]))
            lowest_nsid[at] = nsid;
    }
    if (names.descriptor != device_folder)
        close(names.descriptor);
    for (int i = 0; i < found; i++) {
        snprintf(entries[i].controller, sizeof entries[i].controller, "nvme%ld", numbers[i]);
        if (lowest_nsid[i] > 0)
            snprintf(entries[i].device, sizeof entries[i].device, "nvme%ldns%ld", numbers[i],
                     lowest_nsid[i]);
        else
            snprintf(entries[i].device, sizeof entries[i].device, "nvme%ld", numbers[i]);
    }
    sort_controllers(entries, found);
    return found;
}
