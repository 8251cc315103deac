// SPDX-License-Identifier: BSD-2-Clause
#include "cli/diag.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char* program_name = "";

void set_invocation_name(const char* name) { program_name = name; }

// Formats the whole line first so that it reaches standard error in one
// write; a line too long for the buffer is written in pieces instead.
[[noreturn]] static void die(const char* error_text, const char* format, va_list args)
{
    char line[2048];
    int used = snprintf(line, sizeof line, "%s: ", program_name);
    va_list again;
    va_copy(again, args);
    if (used >= 0 && static_cast<size_t>(used) < sizeof line)
        used += vsnprintf(line + used, sizeof line - used, format, args);
    if (used >= 0 && error_text && static_cast<size_t>(used) < sizeof line)
        used += snprintf(line + used, sizeof line - used, ": %s", error_text);
    if (used >= 0 && static_cast<size_t>(used) + 1 < sizeof line) {
        line[used++] = '\n';
        fwrite(line, 1, used, stderr);
    } else {
        fprintf(stderr, "%s: ", program_name);
        vfprintf(stderr, format, again);
        if (error_text)
            fprintf(stderr, ": %s", error_text);
        fputc('\n', stderr);
    }
    va_end(again);
    exit(1);
}

void fatal(const char* format, ...)
{
    const char* error_text = strerror(errno);
    va_list args;
    va_start(args, format);
    die(error_text, format, args);
}

void fatalx(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    die(nullptr, format, args);
}

void check_stdout()
{
    if (fflush(stdout) != 0 || ferror(stdout))
        fatal("stdout");
}
