// SPDX-License-Identifier: BSD-2-Clause
// FreeBSD: no capability sets to drop, root alone opens nvme(4) nodes, and
// Capsicum's capability mode shuts each process off from every name space:
// the metrics side once its server runs, the device side once its readers
// do, with /dev held open and each node it opens limited to the driver's two
// requests.
#include "exporter/sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/capsicum.h>
#include <sys/ioctl.h>
#include <sys/procctl.h>
#include <unistd.h>
#include <dev/nvme/nvme.h>

#include "exporter/log.h"

void drop_bounding_set()
{
}

bool drop_capabilities()
{
    return true;
}

bool enter_capability_mode()
{
    if (cap_enter() != 0) {
        log_message("cannot enter capability mode: %s", strerror(errno));
        return false;
    }
    return true;
}

bool confine_metrics_side()
{
    return true;
}

bool ask_parent_death_signal()
{
    int signal_number = SIGKILL;
    return procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &signal_number) == 0;
}

bool restrict_device_side()
{
    return true;
}

// The two requests the driver sends.
static const unsigned long driver_requests[] = {NVME_PASSTHROUGH_CMD, NVME_GET_NSID};
constexpr size_t driver_request_count = sizeof driver_requests / sizeof driver_requests[0];

bool confine_device_side(int device_folder)
{
    // A node opened through the folder takes the folder's rights: looking it
    // up and reading, never writing, whatever the flags of the open. Seeking
    // is for listing the folder again from its start.
    cap_rights_t rights;
    cap_rights_init(&rights, CAP_LOOKUP, CAP_READ, CAP_SEEK, CAP_FSTAT, CAP_IOCTL);
    if (device_folder >= 0
        && (cap_rights_limit(device_folder, &rights) != 0
            || cap_ioctls_limit(device_folder, driver_requests, driver_request_count) != 0)) {
        log_message("device side: cannot limit its hold on /dev: %s", strerror(errno));
        return false;
    }
    if (cap_enter() != 0) {
        log_message("device side: cannot enter capability mode: %s", strerror(errno));
        return false;
    }
    return true;
}

bool limit_node(int descriptor)
{
    cap_rights_t rights;
    cap_rights_init(&rights, CAP_READ, CAP_FSTAT, CAP_IOCTL);
    return cap_rights_limit(descriptor, &rights) == 0
        && cap_ioctls_limit(descriptor, driver_requests, driver_request_count) == 0;
}
