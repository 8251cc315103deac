#include "cli/device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cli/diag.h"
#include "identity/identity.h"
#include "nvme/driver.h"
#include "nvme/trim_field.h"
#include "stats/poll.h"

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
    if (identify_vendor(data) != 0x1D0F)
        fatalx("Not an EC2 disk: %s", device_name);
    char* model = trim_field(data.mn, sizeof data.mn);
    if (strcmp(model, "Amazon Elastic Block Store") != 0
        && strcmp(model, "Amazon EC2 NVMe Instance Storage") != 0)
        fatalx("Not an EBS or Instance Storage disk: %s", device_name);
    free(model);
}

void run_device(const char* mode, const char* operand)
{
    static identify_controller_data identify;
    const char* device_name = strip_dev_prefix(operand);
    int descriptor = open_controller(device_name);
    switch (identify_controller(descriptor, &identify)) {
    case admin_outcome::request_failed:
        fatal("NVME_OPC_IDENTIFY failed");
    case admin_outcome::completion_error:
        fatalx("identify request returned error");
    case admin_outcome::success:
        break;
    }
    classify_device(identify, device_name);
    if (strcmp(mode, "id") == 0)
        print_identity(device_name, identify);
    else
        run_stats(descriptor, device_name);
    close(descriptor);
    check_stdout();
    exit(0);
}
