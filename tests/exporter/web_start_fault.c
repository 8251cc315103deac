// SPDX-License-Identifier: BSD-2-Clause
/*
 * Preloaded into the exporter by the web tests: makes one start of the HTTP
 * server fail, as a lack of memory or threads would. WEB_START_FAULT names
 * which start, counted from 1 in the process that serves (1: the first, at
 * start; 2: the first with new TLS material).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>

typedef void* (*start_va)(unsigned flags, uint16_t port, void* apc, void* apc_cls, void* dh,
                          void* dh_cls, va_list options);

static int starts;

void* MHD_start_daemon(unsigned flags, uint16_t port, void* apc, void* apc_cls, void* dh,
                       void* dh_cls, ...)
{
    const char* fault = getenv("WEB_START_FAULT");
    if (fault != NULL && atoi(fault) == ++starts)
        return NULL;
    start_va next = (start_va)dlsym(RTLD_NEXT, "MHD_start_daemon_va");
    va_list options;
    va_start(options, dh_cls);
    void* daemon = next(flags, port, apc, apc_cls, dh, dh_cls, options);
    va_end(options);
    return daemon;
}
