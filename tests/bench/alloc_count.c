// SPDX-License-Identifier: BSD-2-Clause
/*
 * Preloaded ahead of everything else into a program under test: counts the
 * program's calls of the allocator and writes the running totals to the file
 * named by ALLOC_COUNT_LOG, one line "sleep <allocations> <frees>" at every
 * sleep or ppoll with a timeout (a polling program waits once per pass) and "exit <allocations>
 * <frees>" when the process exits.
 *
 * What the emulated device does inside an ioctl, and what the test bed's own
 * sleep does, is not the program's doing (a real kernel would allocate nothing
 * in the process), so allocations made during those calls are left out.
 *
 * Built with ALLOC_COUNT_HOOKS, for programs built with the sanitizers, whose
 * allocator cannot be replaced: it counts what the sanitizers' allocator
 * reports through its hooks instead.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
void __libc_free(void* block);

static unsigned long allocations;
static unsigned long frees;
/* Above zero while the emulation or the bed's shim has control. */
static __thread int outside_program;
static int log_fd = -1;

static void count_allocation(void)
{
    if (outside_program == 0)
        __atomic_fetch_add(&allocations, 1, __ATOMIC_RELAXED);
}

static void count_free(const volatile void* block)
{
    if (block != NULL && outside_program == 0)
        __atomic_fetch_add(&frees, 1, __ATOMIC_RELAXED);
}

#ifdef ALLOC_COUNT_HOOKS
#include <sanitizer/allocator_interface.h>

static void allocated(const volatile void* block, size_t size)
{
    (void)block;
    (void)size;
    count_allocation();
}

__attribute__((constructor)) static void install_hooks(void)
{
    __sanitizer_install_malloc_and_free_hooks(allocated, count_free);
}
#else
void* malloc(size_t size)
{
    count_allocation();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    count_allocation();
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size)
{
    count_allocation();
    return __libc_realloc(block, size);
}

void* reallocarray(void* block, size_t count, size_t size)
{
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return NULL;
    }
    count_allocation();
    return __libc_realloc(block, bytes);
}

void* memalign(size_t alignment, size_t size)
{
    count_allocation();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    count_allocation();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size)
{
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    count_allocation();
    void* block = __libc_memalign(alignment, size);
    if (block == NULL)
        return ENOMEM;
    *result = block;
    return 0;
}

void* valloc(size_t size)
{
    count_allocation();
    return __libc_valloc(size);
}

void* pvalloc(size_t size)
{
    count_allocation();
    return __libc_pvalloc(size);
}

void free(void* block)
{
    count_free(block);
    __libc_free(block);
}
#endif

/* Raw system calls: neither stdio nor the emulation's wrappers of open and
 * write, which could allocate, come between the count and the file. */
static void put_totals(const char* what)
{
    if (log_fd < 0)
        return;
    char line[96];
    size_t used = strlen(what);
    memcpy(line, what, used);
    unsigned long values[] = {__atomic_load_n(&allocations, __ATOMIC_RELAXED),
                              __atomic_load_n(&frees, __ATOMIC_RELAXED)};
    for (int i = 0; i < 2; i++) {
        char digits[24];
        int n = 0;
        unsigned long v = values[i];
        do {
            digits[n++] = (char)('0' + v % 10);
            v /= 10;
        } while (v != 0);
        line[used++] = ' ';
        while (n > 0)
            line[used++] = digits[--n];
    }
    line[used++] = '\n';
    syscall(SYS_write, log_fd, line, used);
}

__attribute__((constructor)) static void open_log(void)
{
    const char* path = getenv("ALLOC_COUNT_LOG");
    if (path != NULL)
        log_fd = (int)syscall(SYS_openat, AT_FDCWD, path,
                              O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

__attribute__((destructor)) static void log_exit(void)
{
    put_totals("exit");
}

static void* next_symbol(const char* name)
{
    outside_program++;
    void* symbol = dlsym(RTLD_NEXT, name);
    outside_program--;
    if (symbol == NULL)
        abort();
    return symbol;
}

unsigned int sleep(unsigned int seconds)
{
    put_totals("sleep");
    unsigned int (*next)(unsigned int) = (unsigned int (*)(unsigned int))next_symbol("sleep");
    outside_program++;
    unsigned int left = next(seconds);
    outside_program--;
    return left;
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* timeout,
          const sigset_t* mask)
{
    if (timeout != NULL)
        put_totals("sleep");
    int (*next)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*) =
        (int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*))next_symbol(
            "ppoll");
    outside_program++;
    int result = next(fds, count, timeout, mask);
    outside_program--;
    return result;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    int (*next)(int, unsigned long, ...) =
        (int (*)(int, unsigned long, ...))next_symbol("ioctl");
    outside_program++;
    int result = next(fd, request, argument);
    outside_program--;
    return result;
}
