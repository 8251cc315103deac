// SPDX-License-Identifier: BSD-2-Clause
// What each of the exporter's processes gives up. The system's own means
// (capabilities and system call filters on Linux, Capsicum on FreeBSD) are in
// sandbox_linux.cpp with syscall_filter_linux.cpp, and sandbox_freebsd.cpp,
// which the build chooses between.
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

// The metrics side: becomes the user, with the user's groups (so that a
// group such as ssl-cert gives it a key), keeps no capability and can gain none.
// False after a diagnostic.
bool drop_privileges(const unprivileged_user& user);

// The metrics side once its server runs: on FreeBSD, Capsicum's capability
// mode, where no file can be opened by name any more. False after a diagnostic.
bool enter_capability_mode();

// The metrics side, and the process that writes the text file, once its
// privileges are dropped: on Linux a system call filter that refuses what
// such a process never does (running programs, tracing others or reaching
// into them, new namespaces by any call, mounting, loading kernel code,
// ioctls beyond a few of sockets and terminals, sockets other than the
// Internet's and Unix's). False after a diagnostic.
bool confine_metrics_side();

// The device side right after fork: it is killed when parent, which forked
// it, ends. Linux sends that signal with the parent's credentials, so there it
// reaches the device side only while both are the same user (text files, or
// an exporter not started as root); a metrics side that became --web.user
// cannot signal root, and the device side's own watchdog ends it then (see
// device_side.h). False after a diagnostic, also when parent has already gone.
bool end_with_parent(pid_t parent);

// The device side: only what an admin command needs, and no new privileges.
// Every step is checked. False after a diagnostic.
bool restrict_device_side();

// The device side once its readers run: on Linux a system call filter that
// allows little beyond reading controllers and the socket pair (files opened
// for reading alone, writes to its log on standard error alone); on FreeBSD,
// capability mode with /dev held open as device_folder, whose rights are
// first narrowed to looking nodes up and reading them (so that no node opens
// for writing) and to the driver's two requests. False after a diagnostic.
bool confine_device_side(int device_folder);

// A controller node the device side opened: on FreeBSD its rights narrowed
// to reading it and the driver's two requests, before anything is asked of
// it. False with errno set.
bool limit_node(int descriptor);

// The system's parts of drop_privileges: before the user changes, what only
// a privileged process may give up (the capability bounding set); after, every
// capability, checked gone.
void drop_bounding_set();
bool drop_capabilities();

// The system's part of end_with_parent: SIGKILL when the parent ends. False
// with errno set.
bool ask_parent_death_signal();
