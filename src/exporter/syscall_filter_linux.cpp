// SPDX-License-Identifier: BSD-2-Clause
// Linux: each of the exporter's processes narrows the system calls it may
// make, with libseccomp. A call outside a filter fails with EPERM rather than
// killing the process: an unforeseen call by the C library or a sanitizer's
// runtime then shows as a failed read or request, which the exporter reports,
// instead of a process gone without a word; what the filter exists to stop
// (running a program, tracing, mounting, new sockets in the device side...)
// is stopped either way.
#include "exporter/sandbox.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "exporter/log.h"

namespace {

// Adds rule for the named call where this machine's architecture has it.
bool add(scmp_filter_ctx filter, uint32_t action, const char* name, unsigned count = 0,
         scmp_arg_cmp compare = {})
{
    int number = seccomp_syscall_resolve_name(name);
    if (number == __NR_SCMP_ERROR || number < 0)
        return true; // not a call of this architecture
    return seccomp_rule_add_array(filter, action, number, count, &compare) == 0;
}

// One argument's comparison, every field set (libseccomp's macros leave one
// to the compiler).
scmp_arg_cmp argument(unsigned which, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0)
{
    return scmp_arg_cmp{which, op, a, b};
}

// The request of an ioctl, which the kernel takes as 32 bits.
scmp_arg_cmp ioctl_request(unsigned long request)
{
    return argument(1, SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, request);
}

// Loads the filter into every thread of the process; false after a diagnostic.
bool load(scmp_filter_ctx filter, bool built, const char* side)
{
    int error = built ? -seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1) : EINVAL;
    if (error == 0)
        error = -seccomp_attr_set(filter, SCMP_FLTATR_API_SYSRAWRC, 1);
    // A tree of the calls' numbers: the metrics side's filter names hundreds,
    // which every system call would otherwise walk in turn.
    if (error == 0)
        error = -seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    if (error == 0)
        error = -seccomp_load(filter);
    seccomp_release(filter);
    if (error != 0) {
        log_message("%scannot filter its system calls: %s", side, strerror(error));
        return false;
    }
    return true;
}

// What a reader of controllers and the socket pair needs, its threads and
// memory included; nothing that makes a socket, runs a program or reaches
// another process. Opening and writing are allowed apart, for some arguments.
const char* const device_side_calls[] = {
    // the socket pair, the nodes and sysfs
    "read", "readv", "pread64", "recvfrom", "recvmsg", "sendto", "sendmsg",
    "poll", "ppoll", "close", "fstat", "newfstatat", "stat", "lstat", "statx",
    "fcntl", "lseek", "getdents64", "readlink", "readlinkat", "access", "faccessat",
    "faccessat2",
    // memory, threads, time and the end of the process
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise", "futex", "set_robust_list",
    "rseq", "sched_yield", "sched_getaffinity", "getpid", "gettid", "tgkill", "rt_sigprocmask",
    "rt_sigreturn", "restart_syscall", "sigaltstack", "clock_gettime", "clock_nanosleep",
    "nanosleep", "getrandom", "exit", "exit_group"};

// A build with AddressSanitizer checks for leaks as the process ends, and
// stops its threads with ptrace to do so.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool leaks_checked = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool leaks_checked = true;
#else
constexpr bool leaks_checked = false;
#endif
#else
constexpr bool leaks_checked = false;
#endif

// Nothing the metrics side or the text-file writer ever does, and what an
// intruder in them would want first: running programs, reaching into other
// processes (their memory, their descriptors), new namespaces, mounts, kernel
// code. clone and clone3 are here so that they are allowed by rules of their
// own, below.
const char* const metrics_side_refused[] = {
    "execve", "execveat", leaks_checked ? "" : "ptrace", "process_vm_readv", "process_vm_writev",
    "pidfd_getfd", "kcmp", "clone", "clone3", "mount",
    "umount2", "pivot_root", "chroot", "move_mount", "open_tree", "fsopen", "fsconfig",
    "fsmount", "fspick", "mount_setattr", "kexec_load", "kexec_file_load", "bpf",
    "perf_event_open", "init_module", "finit_module", "delete_module", "reboot", "swapon",
    "swapoff", "setns", "unshare", "keyctl", "add_key", "request_key", "userfaultfd",
    "open_by_handle_at", "name_to_handle_at", "acct", "quotactl", "syslog", "iopl", "ioperm",
    "settimeofday", "clock_settime", "clock_adjtime", "adjtimex", "io_uring_setup",
    "io_uring_enter", "io_uring_register", "personality", "uselib", "vhangup",
    "ioctl", "socket", "socketpair"};

// The flags of clone that make a process in new namespaces. (CLONE_NEWTIME
// shares its bit with the exit signal in clone's flags: only clone3 and
// unshare take it, and the metrics side may call neither.)
constexpr scmp_datum_t new_namespaces = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS
    | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

// The ioctls a process of sockets and files may make: the C library asks
// whether a stream is a terminal, and libraries may set or read a socket.
const unsigned long metrics_side_ioctls[] = {TCGETS, FIONREAD, FIONBIO, FIOCLEX, FIONCLEX};

} // namespace

bool confine_device_side(int)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr) {
        log_message("device side: cannot filter its system calls: %s", strerror(ENOMEM));
        return false;
    }
    bool built = true;
    for (const char* name : device_side_calls)
        built = built && add(filter, SCMP_ACT_ALLOW, name);
    // Opens for reading alone: no other access mode, and nothing made or
    // emptied on the way. The flags are open's second argument and openat's
    // third; openat2 takes them in a record the filter cannot read, so it is
    // answered as a call this kernel lacks, which sends the C library back
    // to openat.
    constexpr scmp_datum_t opening = O_ACCMODE | O_CREAT | O_TRUNC;
    built = built
        && add(filter, SCMP_ACT_ALLOW, "open", 1,
               argument(1, SCMP_CMP_MASKED_EQ, opening, O_RDONLY));
    built = built
        && add(filter, SCMP_ACT_ALLOW, "openat", 1,
               argument(2, SCMP_CMP_MASKED_EQ, opening, O_RDONLY));
    built = built && add(filter, SCMP_ACT_ERRNO(ENOSYS), "openat2");
    // Writes to its log alone, standard error: the socket pair takes send,
    // and no file is written.
    static const char* const writes[] = {"write", "writev"};
    for (const char* name : writes)
        built = built
            && add(filter, SCMP_ACT_ALLOW, name, 1, argument(0, SCMP_CMP_EQ, STDERR_FILENO));
    // The two requests the driver sends.
    static const unsigned long requests[] = {NVME_IOCTL_ADMIN_CMD, NVME_IOCTL_ID};
    for (unsigned long request : requests)
        built = built && add(filter, SCMP_ACT_ALLOW, "ioctl", 1, ioctl_request(request));
    return load(filter, built, "device side: ");
}

bool confine_metrics_side()
{
    // Everything the kernel offers this architecture but the calls refused,
    // with ioctl and socket allowed for a few arguments each.
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr) {
        log_message("cannot filter the system calls: %s", strerror(ENOMEM));
        return false;
    }
    bool built = true;
    for (int number = 0; number < 1024 && built; number++) {
        char* name = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, number);
        if (name == nullptr)
            continue;
        bool refused = false;
        for (const char* other : metrics_side_refused)
            refused = refused || strcmp(name, other) == 0;
        if (!refused)
            built = seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 0) == 0;
        free(name);
    }
    // Threads and processes, never in a namespace of their own; clone3 takes
    // its flags in a record the filter cannot read, and answered as a call
    // this kernel lacks, the C library falls back to clone.
    built = built
        && add(filter, SCMP_ACT_ALLOW, "clone", 1,
               argument(0, SCMP_CMP_MASKED_EQ, new_namespaces, 0));
    built = built && add(filter, SCMP_ACT_ERRNO(ENOSYS), "clone3");
    for (unsigned long request : metrics_side_ioctls)
        built = built && add(filter, SCMP_ACT_ALLOW, "ioctl", 1, ioctl_request(request));
    static const int families[] = {AF_UNIX, AF_INET, AF_INET6};
    for (int family : families)
        built = built
            && add(filter, SCMP_ACT_ALLOW, "socket", 1, argument(0, SCMP_CMP_EQ, family));
    built = built
        && add(filter, SCMP_ACT_ALLOW, "socketpair", 1, argument(0, SCMP_CMP_EQ, AF_UNIX));
    return load(filter, built, "");
}
