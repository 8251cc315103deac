// SPDX-License-Identifier: BSD-2-Clause
// Standard output of one report, caught in memory: one stream over a fixed
// buffer, opened once and rewound for every report, so that catching the
// output allocates nothing (a fresh stream per report cost more than the
// report itself under the sanitizers).
#pragma once

#include <cstdio>
#include <cstdlib>

struct capture {
    FILE* saved;
    const char* output;
    size_t length;
};

inline char capture_buffer[1 << 16]; // far above the longest report

inline void begin_capture(capture* c)
{
    static FILE* stream;
    if (stream == nullptr && (stream = fmemopen(capture_buffer, sizeof capture_buffer, "w")) == nullptr)
        abort();
    rewind(stream);
    clearerr(stream);
    c->saved = stdout;
    stdout = stream;
}

inline void end_capture(capture* c)
{
    long length = fflush(stdout) == 0 && !ferror(stdout) ? ftell(stdout) : -1;
    stdout = c->saved;
    if (length < 0 || static_cast<size_t>(length) >= sizeof capture_buffer - 1) {
        fprintf(stderr, "report does not fit the capture buffer\n");
        abort();
    }
    c->output = capture_buffer;
    c->length = static_cast<size_t>(length);
}
