// SPDX-License-Identifier: BSD-2-Clause
// Linux: capability sets through the system calls themselves (the C library
// wraps neither), and no_new_privs, so that no program run later gains any.
#include "exporter/sandbox.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "exporter/log.h"

static bool set_capabilities(uint32_t low, uint32_t high)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {{low, low, 0}, {high, high, 0}};
    return syscall(SYS_capset, &header, data) == 0;
}

static bool no_capabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (const auto& set : data)
        if (set.effective || set.permitted || set.inheritable)
            return false;
    return true;
}

// Empties the bounding set as far as CAP_SETPCAP allows: where the service
// manager already narrowed it, the rest cannot be dropped, and with no
// permitted capability and no_new_privs it cannot be used either.
void drop_bounding_set()
{
    for (int capability = 0; capability < 64; capability++)
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno == EINVAL)
            break; // past the last capability the kernel knows
}

bool drop_capabilities()
{
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    if (!set_capabilities(0, 0) || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
        || !no_capabilities()) {
        log_message("cannot drop the capabilities: %s", strerror(errno));
        return false;
    }
    return true;
}

bool enter_capability_mode()
{
    return true;
}

void restrict_device_side()
{
    // Only root's own processes hold capabilities to keep; another user's
    // device side could read no controller anyway.
    if (geteuid() == 0) {
        for (int capability = 0; capability < 64; capability++)
            if (capability != CAP_SYS_ADMIN && prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0
                && errno == EINVAL)
                break;
        set_capabilities(CAP_TO_MASK(CAP_SYS_ADMIN), 0);
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}
