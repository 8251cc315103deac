// SPDX-License-Identifier: BSD-2-Clause
// Linux: the kernel's NVMe ioctls, and sysfs to find a namespace's controller.
//
// NVME_IOCTL_ID gives a namespace node's id but fails with ENOTTY on the
// controller's own node as on every other device, so a character node that
// sysfs places in class "nvme" is taken as a controller (namespace id 0).
#include "nvme/driver.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static const char* last_component(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Follows the sysfs link folder/name with one readlink: the result is the
// folder the link leads to, as folder + "/" + the link's relative target,
// which the kernel resolves when the path is used, or the target itself when
// it is absolute. Cheaper than realpath, which reads every component. False
// with errno set.
static bool follow_link(const char* folder, const char* name, char (&target)[PATH_MAX])
{
    char link[PATH_MAX];
    int length = snprintf(link, sizeof link, "%s/%s", folder, name);
    if (length < 0 || length >= static_cast<int>(sizeof link)) {
        errno = ENAMETOOLONG;
        return false;
    }
    // The link's own name gives way to what it points to.
    size_t base = length - strlen(name);
    memcpy(target, link, base);
    ssize_t read = readlink(link, target + base, sizeof target - base);
    if (read < 0)
        return false;
    if (static_cast<size_t>(read) >= sizeof target - base) {
        errno = ENAMETOOLONG;
        return false;
    }
    target[base + read] = '\0';
    if (target[base] == '/')
        memmove(target, target + base, read + 1);
    return true;
}

// The sysfs folder of the device behind a node, or false with errno set.
static bool sysfs_folder(const struct stat& node, char (&folder)[PATH_MAX])
{
    char numbers[32];
    snprintf(numbers, sizeof numbers, "%u:%u", major(node.st_rdev), minor(node.st_rdev));
    return follow_link(S_ISBLK(node.st_mode) ? "/sys/dev/block" : "/sys/dev/char", numbers,
                       folder);
}

template <size_t size> static int copy_name(char (&cdev)[size], const char* name)
{
    size_t length = strlen(name);
    if (length >= sizeof cdev) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(cdev, name, length + 1);
    return 0;
}

// The class ("nvme", "nvme-subsystem", "block", ...) of a sysfs device folder.
static bool sysfs_class(const char* folder, char (&name)[PATH_MAX])
{
    char target[PATH_MAX];
    if (!follow_link(folder, "subsystem", target))
        return false;
    snprintf(name, sizeof name, "%s", last_component(target));
    return true;
}

static bool is_class(const char* folder, const char* wanted)
{
    char name[PATH_MAX];
    return sysfs_class(folder, name) && strcmp(name, wanted) == 0;
}

// A multipath head belongs to a subsystem, whose folder links every controller
// as "nvmeN": take the lowest-numbered one.
static int lowest_controller(const char* subsystem, char (&cdev)[256])
{
    DIR* folder = opendir(subsystem);
    if (folder == nullptr)
        return -1;
    long lowest = -1;
    while (const dirent* entry = readdir(folder)) {
        long number = controller_number(entry->d_name);
        if (number >= 0 && (lowest < 0 || number < lowest))
            lowest = number;
    }
    closedir(folder);
    if (lowest < 0) {
        errno = ENODEV;
        return -1;
    }
    snprintf(cdev, sizeof cdev, "nvme%ld", lowest);
    return 0;
}

static int namespace_controller(const struct stat& node, char (&cdev)[256])
{
    char folder[PATH_MAX];
    char parent[PATH_MAX];
    char parent_class[PATH_MAX];
    if (!sysfs_folder(node, folder) || !follow_link(folder, "device", parent)
        || !sysfs_class(parent, parent_class))
        return -1;
    if (strcmp(parent_class, "nvme") == 0)
        return copy_name(cdev, last_component(parent));
    if (strcmp(parent_class, "nvme-subsystem") == 0)
        return lowest_controller(parent, cdev);
    errno = ENODEV;
    return -1;
}

int get_nsid(int descriptor, node_nsid* result)
{
    memset(result, 0, sizeof *result);
    struct stat node;
    int nsid = ioctl(descriptor, NVME_IOCTL_ID);
    if (nsid < 0) {
        int cause = errno;
        char folder[PATH_MAX];
        if (cause == ENOTTY && fstat(descriptor, &node) == 0 && S_ISCHR(node.st_mode)
            && sysfs_folder(node, folder) && is_class(folder, "nvme")
            && copy_name(result->cdev, last_component(folder)) == 0)
            return 0;
        errno = cause;
        return -1;
    }
    result->nsid = static_cast<uint32_t>(nsid);
    if (fstat(descriptor, &node) != 0)
        return -1;
    return namespace_controller(node, result->cdev);
}

admin_outcome submit_admin(int descriptor, const admin_command& command)
{
    // The kernel takes the direction of the transfer from the opcode.
    struct nvme_admin_cmd request;
    memset(&request, 0, sizeof request);
    request.opcode = command.opc;
    request.nsid = command.nsid;
    request.cdw10 = command.cdw10;
    request.addr = reinterpret_cast<uintptr_t>(command.buf);
    request.data_len = command.len;
    int result = ioctl(descriptor, NVME_IOCTL_ADMIN_CMD, &request);
    if (result < 0)
        return admin_outcome::request_failed;
    // A positive result is the completion's status field without its phase bit.
    return completion_outcome(static_cast<uint16_t>(static_cast<unsigned>(result) << 1));
}

// A namespace's block device in its controller's sysfs folder: "nvme0n1", or
// under native multipath the hidden path "nvme0c1n1" of the head "nvme0n1"
// (subsystem 0, controller 1, namespace head 1). Gives the name users see and
// the namespace head's number, or false for any other entry.
static bool namespace_entry(const char* name, char (&device)[64], long* head)
{
    const char* c;
    long subsystem = controller_number_prefix(name, &c);
    if (subsystem < 0)
        return false;
    if (*c == 'c') {
        const char* path = ++c;
        while (*c >= '0' && *c <= '9')
            c++;
        if (c == path)
            return false;
    }
    if (*c != 'n' || c[1] < '0' || c[1] > '9')
        return false;
    char* end;
    *head = strtol(c + 1, &end, 10);
    if (*end != '\0')
        return false;
    snprintf(device, sizeof device, "nvme%ldn%ld", subsystem, *head);
    return true;
}

// A folder read with getdents64 into a buffer of its own: opendir allocates,
// and a listing at every interval of a long run must not.
struct folder_reader {
    int descriptor;
    long used;
    long at;
    alignas(8) char buffer[4096];
};

static bool open_folder(folder_reader* reader, const char* path)
{
    reader->descriptor = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    reader->used = reader->at = 0;
    return reader->descriptor >= 0;
}

// The next entry's name, or null at the end (or on an error, errno set).
static const char* next_name(folder_reader* reader)
{
    if (reader->at >= reader->used) {
        reader->used = getdents64(reader->descriptor, reader->buffer, sizeof reader->buffer);
        reader->at = 0;
        if (reader->used <= 0)
            return nullptr;
    }
    const dirent64* entry = reinterpret_cast<const dirent64*>(reader->buffer + reader->at);
    reader->at += entry->d_reclen;
    return entry->d_name;
}

static void close_folder(folder_reader* reader) { close(reader->descriptor); }

// The name of the controller's lowest-numbered namespace, or the
// controller's own name.
static void first_namespace(const char* controller, char (&device)[64])
{
    snprintf(device, sizeof device, "%s", controller);
    char path[PATH_MAX];
    snprintf(path, sizeof path, "/sys/class/nvme/%s", controller);
    static folder_reader folder;
    if (!open_folder(&folder, path))
        return;
    long lowest = -1;
    while (const char* entry = next_name(&folder)) {
        char name[64];
        long head;
        if (namespace_entry(entry, name, &head) && (lowest < 0 || head < lowest)) {
            lowest = head;
            memcpy(device, name, sizeof device);
        }
    }
    close_folder(&folder);
}

int list_controllers(controller_entry* entries, int max)
{
    static folder_reader folder;
    if (!open_folder(&folder, "/sys/class/nvme"))
        return errno == ENOENT ? 0 : -1; // no NVMe driver loaded: no controllers
    int count = 0;
    while (const char* entry = next_name(&folder)) {
        if (count < max && controller_number(entry) >= 0
            && copy_name(entries[count].controller, entry) == 0) {
            first_namespace(entries[count].controller, entries[count].device);
            count++;
        }
    }
    close_folder(&folder);
    sort_controllers(entries, count);
    return count;
}

// By path: a test bed that emulates the nodes sees only opens by path.
int open_controller_node(const char* name)
{
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "/dev/%s", name) >= static_cast<int>(sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open(path, O_RDONLY | O_CLOEXEC);
}

bool hold_device_folder(int* folder)
{
    *folder = -1;
    return true;
}
