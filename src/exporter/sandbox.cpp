// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/sandbox.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "exporter/log.h"

bool find_user(const char* name, unprivileged_user* user)
{
    user->change = geteuid() == 0;
    if (!user->change)
        return true; // already someone's: that user it stays
    errno = 0;
    const passwd* entry = getpwnam(name);
    if (entry == nullptr) {
        // The packages make the default user; a machine set up by hand may lack
        // it, and the operator needs to know the way out.
        log_message("cannot find user %s: %s (create it, or choose another with --web.user=USER)",
               name, errno ? strerror(errno) : "no such user");
        return false;
    }
    if (entry->pw_uid == 0) {
        log_message("invalid --web.user: %s is the superuser", name);
        return false;
    }
    user->name = name;
    user->uid = entry->pw_uid;
    user->gid = entry->pw_gid;
    return true;
}

bool drop_privileges(const unprivileged_user& user)
{
    drop_bounding_set();
    if (user.change
        && (initgroups(user.name, user.gid) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0)) {
        log_message("cannot become an unprivileged user: %s", strerror(errno));
        return false;
    }
    if (user.change && (setuid(0) == 0 || geteuid() == 0)) {
        log_message("cannot become an unprivileged user: root came back");
        return false;
    }
    return drop_capabilities();
}

bool end_with_parent(pid_t parent)
{
    // Asked in the child; the parent may have ended before it was.
    if (!ask_parent_death_signal()) {
        log_message("device side: cannot be ended with the metrics side: %s", strerror(errno));
        return false;
    }
    if (getppid() != parent) {
        log_message("device side: the metrics side ended before it started");
        return false;
    }
    return true;
}
