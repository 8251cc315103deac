// SPDX-License-Identifier: BSD-2-Clause
// What each of the exporter's processes gives up. The system's own means
// (capabilities on Linux, Capsicum on FreeBSD) are in sandbox_linux.cpp and
// sandbox_freebsd.cpp, one of which the build takes.
#pragma once

#include <sys/types.h>

struct unprivileged_user {
    bool change; // the process runs as root and becomes this user
    const char* name;
    uid_t uid;
    gid_t gid;
};

// Looks the user up while the files that name it can still be read. False
// after a diagnostic.
bool find_user(const char* name, unprivileged_user* user);

// The network side: becomes the user, with the user's groups (so that a
// group such as ssl-cert gives it a key), keeps no capability and can gain none.
// False after a diagnostic.
bool drop_privileges(const unprivileged_user& user);

// The network side once its server runs: on FreeBSD, Capsicum's capability
// mode, where no file can be opened by name any more. False after a diagnostic.
bool enter_capability_mode();

// The device side: only what an admin command needs, and no new privileges.
void restrict_device_side();

// The system's parts of drop_privileges: before the user changes, what only
// a privileged process may give up (the capability bounding set); after, every
// capability, checked gone.
void drop_bounding_set();
bool drop_capabilities();
