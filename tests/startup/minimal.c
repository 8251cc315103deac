// SPDX-License-Identifier: BSD-2-Clause
/*
 * The yardstick for volscan's start-up: the least a C program does to get as
 * far as "volscan id null" gets, with the same system calls in the same
 * order. It opens /dev/ + operand, asks for the namespace id, and when the
 * node is no NVMe namespace looks the node's class up in sysfs as volscan does
 * before it gives up with the same err-style line.
 *
 *   startup_minimal device
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/nvme_ioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

_Noreturn static void die(const char* message)
{
    char line[256];
    int used = snprintf(line, sizeof line, "volscan: %s: %s\n", message, strerror(errno));
    fwrite(line, 1, (size_t)used < sizeof line ? (size_t)used : sizeof line - 1, stderr);
    exit(1);
}

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    char* path;
    if (asprintf(&path, "/dev/%s", argv[1]) < 0)
        die("asprintf");
    int descriptor = open(path, O_RDONLY);
    if (descriptor < 0)
        die("could not open");
    free(path);

    if (ioctl(descriptor, NVME_IOCTL_ID) >= 0)
        return 0;
    int cause = errno;
    struct stat node;
    char link[PATH_MAX];
    char target[PATH_MAX];
    if (cause == ENOTTY && fstat(descriptor, &node) == 0 && S_ISCHR(node.st_mode)) {
        snprintf(link, sizeof link, "/sys/dev/char/%u:%u", major(node.st_rdev),
                 minor(node.st_rdev));
        ssize_t length = readlink(link, target, sizeof target - 1);
        if (length > 0) {
            target[length] = '\0';
            if (snprintf(link, sizeof link, "/sys/dev/char/%.3000s/subsystem", target) < 0)
                return 2;
            length = readlink(link, target, sizeof target - 1);
            if (length > 0) {
                target[length] = '\0';
                const char* slash = strrchr(target, '/');
                if (strcmp(slash ? slash + 1 : target, "nvme") == 0)
                    return 0;
            }
        }
    }
    errno = cause;
    die("NVME_GET_NSID failed");
}
