// SPDX-License-Identifier: BSD-2-Clause
// FreeBSD: no capability sets to drop, root alone opens nvme(4) nodes, and
// Capsicum's capability mode shuts the network side off from every name space.
#include "exporter/sandbox.h"

#include <cerrno>
#include <cstring>
#include <sys/capsicum.h>
#include <unistd.h>

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

void restrict_device_side()
{
}
