// SPDX-License-Identifier: BSD-2-Clause
// Linux: capability sets through the system calls themselves (the C library
// wraps neither), and no_new_privs, so that no program run later gains any.
// The system call filters are in syscall_filter_linux.cpp.
#include "exporter/sandbox.h"

#include <cerrno>
#include <csignal>
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

bool ask_parent_death_signal()
{
    return prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) == 0;
}

// Drops every capability but CAP_SYS_ADMIN from the bounding set. One that is
// there and cannot be dropped is a failure; one already gone is not.
static bool bound_to_sys_admin()
{
    for (int capability = 0; capability < 64; capability++) {
        if (capability == CAP_SYS_ADMIN)
            continue;
        int held = prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (held < 0 && errno == EINVAL)
            return true; // past the last capability the kernel knows
        if (held < 0 || (held == 1 && prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0))
            return false;
    }
    return true;
}

static bool holds_sys_admin_alone()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    uint32_t wanted = CAP_TO_MASK(CAP_SYS_ADMIN);
    if (data[0].effective == wanted && data[0].permitted == wanted && !data[0].inheritable
        && !data[1].effective && !data[1].permitted && !data[1].inheritable)
        return true;
    errno = EPERM;
    return false;
}

bool restrict_device_side()
{
    // Only root's own processes hold capabilities to keep; another user's
    // device side could read no controller anyway.
    if (geteuid() == 0) {
        static_assert(CAP_SYS_ADMIN < 32);
        if (!bound_to_sys_admin() || prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0
            || !set_capabilities(CAP_TO_MASK(CAP_SYS_ADMIN), 0) || !holds_sys_admin_alone()) {
            log_message("device side: cannot keep CAP_SYS_ADMIN alone: %s", strerror(errno));
            return false;
        }
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        log_message("device side: cannot give up new privileges: %s", strerror(errno));
        return false;
    }
    return true;
}

bool limit_node(int)
{
    return true;
}
