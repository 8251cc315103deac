// nvme(4): the driver answers NVME_GET_NSID itself and passes admin commands
// through NVME_PASSTHROUGH_CMD.
#include "nvme/driver.h"

#include <cstring>
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
