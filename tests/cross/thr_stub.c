// SPDX-License-Identifier: BSD-2-Clause
/*
 * A link stub of FreeBSD's thread library, libthr.so.3, for the cross build:
 * the functions volscan-exporter calls that FreeBSD's libc does not carry
 * (libc has the rest of the pthread functions), with libthr's symbol version.
 * Nothing here runs. A function the exporter starts to call is added here.
 */
#include <pthread.h>
#include <time.h>

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                   void* (*start)(void*), void* argument)
{
    (void)thread, (void)attributes, (void)start, (void)argument;
    return 0;
}

int pthread_condattr_init(pthread_condattr_t* attributes)
{
    (void)attributes;
    return 0;
}

int pthread_condattr_destroy(pthread_condattr_t* attributes)
{
    (void)attributes;
    return 0;
}

int pthread_condattr_setclock(pthread_condattr_t* attributes, clockid_t clock)
{
    (void)attributes, (void)clock;
    return 0;
}

int pthread_mutex_timedlock(pthread_mutex_t* mutex, const struct timespec* until)
{
    (void)mutex, (void)until;
    return 0;
}
