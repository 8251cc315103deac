// SPDX-License-Identifier: BSD-2-Clause
/*
 * SPDX-License-Identifier: BSD-2-Clause
 * A link stub of zlib for the FreeBSD cross build: the functions
 * volscan-exporter calls, with the library's own prototypes, built as
 * libz.so.6 like the base system's. Nothing here runs.
 */
#include <zlib.h>

int deflateInit2_(z_streamp strm, int level, int method, int windowBits, int memLevel,
                  int strategy, const char* version, int stream_size)
{
    (void)strm, (void)level, (void)method, (void)windowBits, (void)memLevel, (void)strategy,
        (void)version, (void)stream_size;
    return Z_STREAM_ERROR;
}

uLong deflateBound(z_streamp strm, uLong sourceLen)
{
    (void)strm;
    return sourceLen;
}

int deflate(z_streamp strm, int flush)
{
    (void)strm, (void)flush;
    return Z_STREAM_ERROR;
}

int deflateEnd(z_streamp strm)
{
    (void)strm;
    return Z_STREAM_ERROR;
}
