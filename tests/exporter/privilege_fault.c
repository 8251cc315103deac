// SPDX-License-Identifier: BSD-2-Clause
/*
 * Preloaded into the exporter by the privilege tests: makes one privilege
 * call fail with EPERM in processes forked by the program (its device side),
 * never in the program's own process. PRIVILEGE_FAULT names the call:
 *   capset, capbset_drop, no_new_privs, pdeathsig, seccomp
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/capability.h>
#include <linux/prctl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static pid_t program;

__attribute__((constructor)) static void remember_program(void)
{
    program = getpid();
}

static int faulty(const char* call)
{
    const char* fault = getenv("PRIVILEGE_FAULT");
    return fault != NULL && strcmp(fault, call) == 0 && getpid() != program;
}

int prctl(int option, ...)
{
    va_list args;
    va_start(args, option);
    unsigned long a2 = va_arg(args, unsigned long), a3 = va_arg(args, unsigned long),
                  a4 = va_arg(args, unsigned long), a5 = va_arg(args, unsigned long);
    va_end(args);
    if ((option == PR_CAPBSET_DROP && faulty("capbset_drop"))
        || (option == PR_SET_NO_NEW_PRIVS && faulty("no_new_privs"))
        || (option == PR_SET_PDEATHSIG && faulty("pdeathsig"))) {
        errno = EPERM;
        return -1;
    }
    int (*real)(int, ...) = (int (*)(int, ...))dlsym(RTLD_NEXT, "prctl");
    return real(option, a2, a3, a4, a5);
}

long syscall(long number, ...)
{
    va_list args;
    va_start(args, number);
    long a[6];
    for (int i = 0; i < 6; i++)
        a[i] = va_arg(args, long);
    va_end(args);
    if (number == SYS_capset && faulty("capset")) {
        errno = EPERM;
        return -1;
    }
    long (*real)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

/* libseccomp's, which returns a negative errno. */
int seccomp_load(const void* filter)
{
    if (faulty("seccomp"))
        return -EPERM;
    int (*real)(const void*) = (int (*)(const void*))dlsym(RTLD_NEXT, "seccomp_load");
    return real(filter);
}
