// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/log.h"

#include <cstdarg>
#include <cstdio>

void log_message(const char* format, ...)
{
    // One write of the whole line, so that lines from threads at once do not mix.
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "volscan-exporter: %s\n", line);
}
