// SPDX-License-Identifier: BSD-2-Clause
#include "cli/device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cli/diag.h"
#include "cli/options.h"
#include "cli/identity_report.h"
#include "nvme/driver.h"
#include "cli/stats_mode.h"

const char* strip_dev_prefix(const char* operand)
{
    return strncmp(operand, "/dev/", 5) == 0 ? operand + 5 : operand;
}

static int open_node(const char* name)
{
    char* path;
    if (asprintf(&path, "%s%s", "/dev/", name) < 0)
        fatal("asprintf");
    int descriptor = open(path, O_RDONLY);
    if (descriptor < 0)
        fatal("could not open %s", path);
    free(path);
    return descriptor;
}

int open_controller(const char* device_name)
{
    int descriptor = open_node(device_name);
    node_nsid node;
    if (get_nsid(descriptor, &node) != 0)
        fatal("NVME_GET_NSID failed");
    if (node.nsid != 0) {
        close(descriptor);
        descriptor = open_node(node.cdev);
    }
    return descriptor;
}

void classify_device(const identify_controller_data& data, const char* device_name)
{
    switch (controller_kind(data)) {
    case device_kind::other_vendor:
        fatalx("Not an EC2 disk: %s", device_name);
    case device_kind::other_model:
        fatalx("Not an EBS or Instance Storage disk: %s", device_name);
    case device_kind::no_memory:
        fatal("malloc");
    case device_kind::ebs_volume:
    case device_kind::instance_storage:
        break;
    }
}

static void report_identity(const identify_controller_data& data, const char* device_name)
{
    identity_selection wanted = {settings.want_bdev, settings.want_model, settings.want_serial,
                                 settings.want_volume};
    switch (print_identity(data, &wanted)) {
    case identity_outcome::not_ebs:
        fatalx("Not an EBS device: %s", device_name);
    case identity_outcome::no_memory:
        fatal("malloc");
    case identity_outcome::printed:
        break;
    }
}

static void report_stats(int descriptor, const char* device_name)
{
    switch (run_stats(descriptor, settings.interval, settings.json_output)) {
    case stats_outcome::request_failed:
        fatal("NVME_OPC_GET_LOG_PAGE failed");
    case stats_outcome::completion_error:
        fatalx("log page request returned error");
    case stats_outcome::not_ebs:
        fatalx("Not an EBS device: %s", device_name);
    case stats_outcome::output_failed:
        fatal("stdout");
    case stats_outcome::success:
        break;
    }
}

int open_platform_device(const char* device_name, identify_controller_data* identify)
{
    int descriptor = open_controller(device_name);
    switch (identify_controller(descriptor, identify)) {
    case admin_outcome::request_failed:
        fatal("NVME_OPC_IDENTIFY failed");
    case admin_outcome::completion_error:
        fatalx("identify request returned error");
    case admin_outcome::success:
        break;
    }
    classify_device(*identify, device_name);
    return descriptor;
}

void run_device(const char* mode, const char* operand)
{
    static identify_controller_data identify;
    const char* device_name = strip_dev_prefix(operand);
    int descriptor = open_platform_device(device_name, &identify);
    if (strcmp(mode, "id") == 0)
        report_identity(identify, device_name);
    else
        report_stats(descriptor, device_name);
    close(descriptor);
    check_stdout();
    exit(0);
}
