// SPDX-License-Identifier: BSD-2-Clause
// The Authorization header's Basic credentials, decoded by decode_basic_header.
// The first byte chooses how the rest is used:
//   even: the rest is the header's text as a client sends it;
//   odd:  the rest is a client's name:password, which a well-behaved client
//         sends in base64 after "Basic " (the byte's second bit: "basic",
//         and more than one space, as clients may write it).
// Decoded credentials are the header's own bytes: the name before the first
// colon, the password after it, neither holding a NUL byte nor longer than
// its field. A header refused leaves nothing of itself behind.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exporter/web/basic_auth.h"

static void fail(const char* what, const char* header)
{
    fprintf(stderr, "decode_basic_header: %s\nheader: \"%s\"\n", what, header);
    abort();
}

static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static size_t encode(const uint8_t* in, size_t length, char* out)
{
    size_t used = 0;
    for (size_t i = 0; i < length; i += 3) {
        uint32_t group = in[i] << 16;
        if (i + 1 < length)
            group |= in[i + 1] << 8;
        if (i + 2 < length)
            group |= in[i + 2];
        out[used++] = alphabet[group >> 18 & 63];
        out[used++] = alphabet[group >> 12 & 63];
        out[used++] = i + 1 < length ? alphabet[group >> 6 & 63] : '=';
        out[used++] = i + 2 < length ? alphabet[group & 63] : '=';
    }
    out[used] = '\0';
    return used;
}

// Strict base64 (padded, canonical); the length decoded, or -1.
static long decode(const char* in, uint8_t* out)
{
    size_t length = strlen(in);
    if (length % 4 != 0)
        return -1;
    long used = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t group = 0;
        int pad = 0;
        for (int k = 0; k < 4; k++) {
            const char* at = strchr(alphabet, in[i + k]);
            if (in[i + k] == '=' && i + 4 == length && k >= 2 && (k == 3 || in[i + 3] == '='))
                pad++;
            else if (in[i + k] == '\0' || at == nullptr || pad > 0)
                return -1;
            group = group << 6 | (in[i + k] == '=' ? 0 : static_cast<uint32_t>(at - alphabet));
        }
        if ((pad == 1 && (group & 0xFF)) || (pad == 2 && (group & 0xFFFF)))
            return -1;
        out[used++] = static_cast<uint8_t>(group >> 16);
        if (pad < 2)
            out[used++] = static_cast<uint8_t>(group >> 8);
        if (pad < 1)
            out[used++] = static_cast<uint8_t>(group);
    }
    return used;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 8192)
        return 0;
    const uint8_t* rest = data + 1;
    size_t length = size - 1;
    // Room for "Basic", the spaces and the base64 of the rest.
    char* header = static_cast<char*>(malloc(16 + 4 * (length / 3 + 1)));
    if (data[0] & 1) {
        int used = snprintf(header, 16, "%s ", data[0] & 2 ? "basic" : "Basic");
        if (data[0] & 4)
            used += snprintf(header + used, 16 - used, "  ");
        encode(rest, length, header + used);
    } else {
        memcpy(header, rest, length);
        header[length] = '\0';
    }

    basic_credentials credentials;
    memset(&credentials, 0x55, sizeof credentials);
    bool good = decode_basic_header(header, &credentials);
    if (!good) {
        for (size_t i = 0; i < sizeof credentials; i++)
            if (reinterpret_cast<const uint8_t*>(&credentials)[i] != 0)
                fail("refused, and left bytes in the credentials", header);
    } else {
        if (strncasecmp(header, "Basic ", 6) != 0)
            fail("took a header that is not Basic", header);
        if (memchr(credentials.name, '\0', sizeof credentials.name) == nullptr
            || memchr(credentials.password, '\0', sizeof credentials.password) == nullptr)
            fail("a field without its end", header);
        if (strchr(credentials.name, ':') != nullptr)
            fail("a name holding a colon", header);
        const char* token = header + 6;
        while (*token == ' ')
            token++;
        uint8_t* text = static_cast<uint8_t*>(malloc(strlen(token) + 3));
        long decoded = decode(token, text);
        size_t name = strlen(credentials.name), password = strlen(credentials.password);
        if (decoded >= 0
            && (static_cast<size_t>(decoded) != name + 1 + password
                || memcmp(text, credentials.name, name) != 0 || text[name] != ':'
                || memcmp(text + name + 1, credentials.password, password) != 0))
            fail("credentials that are not the header's", header);
        free(text);
    }
    if (data[0] & 1) {
        // What a well-behaved client sends is taken exactly when it fits.
        const uint8_t* colon = static_cast<const uint8_t*>(memchr(rest, ':', length));
        bool fits = colon != nullptr && memchr(rest, '\0', length) == nullptr
            && static_cast<size_t>(colon - rest) < sizeof credentials.name
            && length - (colon - rest) - 1 < sizeof credentials.password && length > 0;
        if (good != fits)
            fail(fits ? "refused a client's well-formed credentials"
                      : "took credentials that do not fit",
                 header);
    }
    wipe_credentials(&credentials);
    free(header);
    return 0;
}
