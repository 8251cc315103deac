// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/gzip.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <zlib.h>

// The value is a list of codings, each perhaps with ";q=WEIGHT"; a weight of
// zero refuses the coding. "*" stands for every coding not named.
bool accepts_gzip(const char* accept_encoding)
{
    if (accept_encoding == nullptr)
        return false;
    int gzip = -1;
    int star = -1;
    const char* at = accept_encoding;
    while (*at != '\0') {
        at += strspn(at, " \t,");
        size_t name = strcspn(at, " \t;,");
        const char* end = at + strcspn(at, ",");
        const char* weight = static_cast<const char*>(memchr(at, ';', end - at));
        int allowed = 1;
        if (weight != nullptr) {
            weight += 1 + strspn(weight + 1, " \t");
            if ((weight[0] == 'q' || weight[0] == 'Q') && weight[1] == '=')
                allowed = strtod(weight + 2, nullptr) > 0;
        }
        if (name == 4 && strncasecmp(at, "gzip", 4) == 0)
            gzip = allowed;
        else if (name == 6 && strncasecmp(at, "x-gzip", 6) == 0)
            gzip = gzip < 0 ? allowed : gzip;
        else if (name == 1 && at[0] == '*')
            star = allowed;
        at = end;
    }
    return gzip >= 0 ? gzip == 1 : star == 1;
}

bool gzip_text(const char* data, size_t length, text_buffer* out)
{
    out->used = 0;
    out->failed = false;
    z_stream stream{};
    // 15 bits of window, plus 16: a gzip header and trailer instead of zlib's.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY)
        != Z_OK)
        return false;
    size_t bound = deflateBound(&stream, length);
    if (out->size < bound) {
        char* grown = static_cast<char*>(realloc(out->data, bound));
        if (grown == nullptr) {
            deflateEnd(&stream);
            return false;
        }
        out->data = grown;
        out->size = bound;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = reinterpret_cast<Bytef*>(out->data);
    stream.avail_out = static_cast<uInt>(out->size);
    int result = deflate(&stream, Z_FINISH);
    out->used = stream.total_out;
    deflateEnd(&stream);
    return result == Z_STREAM_END;
}
