// SPDX-License-Identifier: BSD-2-Clause
/*
 * Preloaded ahead of umockdev's library into volscan under test. It supplies
 * what the kernel does and umockdev 0.17 does not:
 *  - fstat on an emulated node reports the emulated device, not a regular file;
 *  - opening a symbolic link under the emulated /dev reaches the node it names
 *    (umockdev serves ioctls only on the path that was opened);
 * and, when BED_FAST_SLEEP is set, lets sleep return at once so that polling
 * tests take no time. BED_SLEEP_LOG names a file that records each sleep.
 * With BED_FAST_SLEEP the program's own clock_gettime also reads a clock of
 * the bed's, which stands still but for the waits: the monotonic clock starts
 * at 1000 s and the wall clock at 2026-01-01T00:00:00Z, and a ppoll that
 * waits on no descriptor but standard input returns at once, its timeout
 * added to both. Intervals and times come out exact. BED_PACED besides makes
 * that ppoll wait for real (a key pressed ends it early), the clock still
 * moving by the timeouts alone: a paced run, as a person watches it, with
 * the figures of a fast one.
 * Without UMOCKDEV_DIR it changes nothing.
 *
 * A program that filters its system calls with libseccomp is let make, under
 * the bed, the Unix socket through which umockdev reaches an emulated node.
 *
 * For tests of running out of memory: BED_FAIL_ASPRINTF=N makes the Nth call
 * of asprintf fail, BED_FAIL_MALLOC=N the Nth call of malloc made by the
 * program itself (not by a library). BED_FAIL_FSTAT=N makes the Nth fstat of
 * an emulated node fail with EIO.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <fcntl.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <link.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_TRACKED 1024

/* The emulated /dev path that each open descriptor came from. Threads of the
 * program under test open and close nodes at once, and umockdev's own open
 * makes and closes descriptors of its own on the way: the table changes only
 * under this lock, held across the real call, which may come back into these
 * wrappers. */
static char* node_of_fd[MAX_TRACKED];
static pthread_mutex_t fd_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

static void* next_symbol(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == NULL) {
        fprintf(stderr, "bed shim: no %s\n", name);
        abort();
    }
    return symbol;
}

/* Drops "." and ".." components of an absolute path, in place. */
static void normalise(char* path)
{
    char out[PATH_MAX];
    size_t used = 0;
    const char* part = path;
    while (*part) {
        while (*part == '/')
            part++;
        const char* end = strchr(part, '/');
        size_t length = end ? (size_t)(end - part) : strlen(part);
        if (length == 0)
            break;
        if (length == 1 && part[0] == '.') {
        } else if (length == 2 && part[0] == '.' && part[1] == '.') {
            while (used > 0 && out[used - 1] != '/')
                used--;
            if (used > 0)
                used--;
        } else if (used + length + 2 < sizeof out) {
            out[used++] = '/';
            memcpy(out + used, part, length);
            used += length;
        }
        part += length;
    }
    out[used] = '\0';
    strcpy(path, used ? out : "/");
}

/* Follows relative symbolic links that stay inside the emulated /dev. */
static void follow_links(const char* path, char* resolved)
{
    const char* root = getenv("UMOCKDEV_DIR");
    snprintf(resolved, PATH_MAX, "%s", path);
    if (root == NULL || strncmp(path, "/dev/", 5) != 0)
        return;
    for (int hops = 0; hops < 16; hops++) {
        char real[PATH_MAX];
        char target[PATH_MAX];
        snprintf(real, sizeof real, "%s%s", root, resolved);
        ssize_t length = readlink(real, target, sizeof target - 1);
        if (length <= 0 || target[0] == '/')
            return;
        target[length] = '\0';
        char* slash = strrchr(resolved, '/');
        slash[1] = '\0';
        strncat(resolved, target, PATH_MAX - strlen(resolved) - 1);
        normalise(resolved);
    }
}

static void track(int fd, const char* path)
{
    if (fd < 0 || fd >= MAX_TRACKED || getenv("UMOCKDEV_DIR") == NULL)
        return;
    free(node_of_fd[fd]);
    node_of_fd[fd] = strncmp(path, "/dev/", 5) == 0 ? strdup(path) : NULL;
}

static int open_with(const char* name, const char* path, int flags, mode_t mode)
{
    int (*next)(const char*, int, ...) = (int (*)(const char*, int, ...))next_symbol(name);
    char resolved[PATH_MAX];
    follow_links(path, resolved);
    pthread_mutex_lock(&fd_lock);
    int fd = next(resolved, flags, mode);
    int cause = errno;
    track(fd, resolved);
    pthread_mutex_unlock(&fd_lock);
    errno = cause;
    return fd;
}

static mode_t mode_argument(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(args, mode_t) : 0;
}

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_with("open", path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_with("open64", path, flags, mode);
}

int __open_2(const char* path, int flags) { return open_with("open", path, flags, 0); }

int __open64_2(const char* path, int flags) { return open_with("open64", path, flags, 0); }

int close(int fd)
{
    int (*next)(int) = (int (*)(int))next_symbol("close");
    pthread_mutex_lock(&fd_lock);
    if (fd >= 0 && fd < MAX_TRACKED) {
        free(node_of_fd[fd]);
        node_of_fd[fd] = NULL;
    }
    int result = next(fd);
    int cause = errno;
    pthread_mutex_unlock(&fd_lock);
    errno = cause;
    return result;
}

static int count_reaches(const char* variable, int* calls);

static int emulated_fstat(const char* name, int fd, struct stat* status)
{
    static int calls;
    if (fd >= 0 && fd < MAX_TRACKED && node_of_fd[fd] != NULL
        && count_reaches("BED_FAIL_FSTAT", &calls)) {
        errno = EIO;
        return -1;
    }
    int (*next)(int, struct stat*) = (int (*)(int, struct stat*))next_symbol(name);
    pthread_mutex_lock(&fd_lock);
    int result = next(fd, status);
    int cause = errno;
    struct stat node;
    if (result == 0 && fd >= 0 && fd < MAX_TRACKED && node_of_fd[fd] != NULL
        && stat(node_of_fd[fd], &node) == 0 && (S_ISCHR(node.st_mode) || S_ISBLK(node.st_mode))) {
        status->st_mode = node.st_mode;
        status->st_rdev = node.st_rdev;
    }
    pthread_mutex_unlock(&fd_lock);
    errno = cause;
    return result;
}

int fstat(int fd, struct stat* status) { return emulated_fstat("fstat", fd, status); }

int fstat64(int fd, struct stat64* status)
{
    return emulated_fstat("fstat64", fd, (struct stat*)status);
}

unsigned int sleep(unsigned int seconds)
{
    const char* log = getenv("BED_SLEEP_LOG");
    if (log != NULL) {
        FILE* file = fopen(log, "a");
        if (file != NULL) {
            fprintf(file, "sleep %u\n", seconds);
            fclose(file);
        }
    }
    if (getenv("BED_FAST_SLEEP") != NULL)
        return 0;
    unsigned int (*next)(unsigned int) = (unsigned int (*)(unsigned int))next_symbol("sleep");
    return next(seconds);
}

/* Nanoseconds waited so far on the bed's clock. */
static uint64_t waited;

static int from_program(uintptr_t caller);

int clock_gettime(clockid_t clock, struct timespec* at)
{
    int (*next)(clockid_t, struct timespec*) =
        (int (*)(clockid_t, struct timespec*))next_symbol("clock_gettime");
    if (getenv("BED_FAST_SLEEP") == NULL || (clock != CLOCK_MONOTONIC && clock != CLOCK_REALTIME)
        || !from_program((uintptr_t)__builtin_return_address(0)))
        return next(clock, at);
    uint64_t start = clock == CLOCK_MONOTONIC ? 1000ull : 1767225600ull;
    at->tv_sec = (time_t)(start + waited / 1000000000u);
    at->tv_nsec = (long)(waited % 1000000000u);
    return 0;
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout,
          const sigset_t* mask)
{
    int (*next)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*) =
        (int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*))next_symbol(
            "ppoll");
    int keyboard_only = count == 0 || (count == 1 && fds[0].fd == 0);
    if (getenv("BED_FAST_SLEEP") == NULL || timeout == NULL || !keyboard_only)
        return next(fds, count, timeout, mask);
    waited += (uint64_t)timeout->tv_sec * 1000000000u + (uint64_t)timeout->tv_nsec;
    if (getenv("BED_PACED") != NULL)
        return next(fds, count, timeout, mask);
    if (count == 1)
        fds[0].revents = 0;
    return 0;
}

static int count_reaches(const char* variable, int* calls)
{
    const char* limit = getenv(variable);
    return limit != NULL && ++*calls == atoi(limit);
}

int vasprintf(char** result, const char* format, va_list args)
{
    static int calls;
    if (count_reaches("BED_FAIL_ASPRINTF", &calls)) {
        errno = ENOMEM;
        return -1;
    }
    int (*next)(char**, const char*, va_list) =
        (int (*)(char**, const char*, va_list))next_symbol("vasprintf");
    return next(result, format, args);
}

int asprintf(char** result, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int length = vasprintf(result, format, args);
    va_end(args);
    return length;
}

/* The address range of the program's own code: the first object that
 * dl_iterate_phdr reports. */
static uintptr_t program_start, program_end;

static int find_program(struct dl_phdr_info* info, size_t size, void* data)
{
    (void)size;
    (void)data;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)* segment = &info->dlpi_phdr[i];
        if (segment->p_type == PT_LOAD && (segment->p_flags & PF_X)) {
            program_start = info->dlpi_addr + segment->p_vaddr;
            program_end = program_start + segment->p_memsz;
        }
    }
    return 1; /* the first object is enough */
}

static int from_program(uintptr_t caller)
{
    if (program_end == 0)
        dl_iterate_phdr(find_program, NULL);
    return caller >= program_start && caller < program_end;
}

extern void* __libc_malloc(size_t size);

void* malloc(size_t size)
{
    static int calls;
    if (getenv("BED_FAIL_MALLOC") != NULL) {
        uintptr_t caller = (uintptr_t)__builtin_return_address(0);
        if (program_end == 0)
            dl_iterate_phdr(find_program, NULL);
        if (caller >= program_start && caller < program_end
            && count_reaches("BED_FAIL_MALLOC", &calls)) {
            errno = ENOMEM;
            return NULL;
        }
    }
    return __libc_malloc(size);
}

#if __has_include(<seccomp.h>)
#include <seccomp.h>
#include <sys/socket.h>

/* umockdev's open() of an emulated node makes a Unix socket and connects it
 * to the bed, where the kernel would hand over the node: allowed in every
 * filter the program loads, and nothing more. */
int seccomp_load(const scmp_filter_ctx filter)
{
    int (*real)(const scmp_filter_ctx) = next_symbol("seccomp_load");
    if (getenv("UMOCKDEV_DIR") != NULL) {
        int (*add)(scmp_filter_ctx, uint32_t, int, unsigned int, const struct scmp_arg_cmp*) =
            next_symbol("seccomp_rule_add_array");
        int (*resolve)(const char*) = next_symbol("seccomp_syscall_resolve_name");
        struct scmp_arg_cmp unix_only = {0, SCMP_CMP_EQ, AF_UNIX, 0};
        /* Either may be there already: the metrics side's filter allows both. */
        add(filter, SCMP_ACT_ALLOW, resolve("socket"), 1, &unix_only);
        add(filter, SCMP_ACT_ALLOW, resolve("connect"), 0, NULL);
    }
    return real(filter);
}
#endif
