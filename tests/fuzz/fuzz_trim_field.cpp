// SPDX-License-Identifier: BSD-2-Clause
// trim_field on device text fields of every width it is used with. Each field
// lives in a heap block of exactly its width, so a read past it is caught.
#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nvme/trim_field.h"

static void fail(const char* what, const char* field, size_t width)
{
    fprintf(stderr, "trim_field, width %zu: %s\nfield:", width, what);
    for (size_t i = 0; i < width; i++)
        fprintf(stderr, " %02x", static_cast<unsigned char>(field[i]));
    fputc('\n', stderr);
    abort();
}

static bool only_bytes(const char* text, size_t length, bool nul_too)
{
    for (size_t i = 0; i < length; i++)
        if (text[i] != ' ' && !(nul_too && text[i] == '\0'))
            return false;
    return true;
}

static void check(const uint8_t* data, size_t size, size_t width)
{
    // Short inputs are padded as the device pads its fields.
    char* field = static_cast<char*>(malloc(width));
    memset(field, ' ', width);
    memcpy(field, data, size < width ? size : width);

    char* result = trim_field(field, width);
    if (result == nullptr)
        fail("no result", field, width);
    // Under ASan this is the size that was asked for: the copy and its NUL.
    size_t block = __sanitizer_get_allocated_size(result);
    if (block == 0 || block > width + 1)
        fail("result block has the wrong size", field, width);
    size_t copied = block - 1;
    if (result[copied] != '\0')
        fail("result does not end with a NUL", field, width);

    if (copied > 0) {
        if (result[0] == ' ')
            fail("leading space kept", field, width);
        if (result[copied - 1] == ' ' || result[copied - 1] == '\0')
            fail("trailing space or NUL kept", field, width);
    }
    // The copy is the field less its padding, byte for byte: only spaces
    // before it, only spaces and NULs after it.
    size_t leading = 0;
    while (leading < width && field[leading] == ' ')
        leading++;
    if (copied > width - leading || memcmp(result, field + leading, copied) != 0)
        fail("result is not the field after its leading spaces", field, width);
    if (!only_bytes(field + leading + copied, width - leading - copied, true))
        fail("result lost text of the field", field, width);
    if (only_bytes(field, width, false) && copied != 0)
        fail("a field of spaces does not give \"\"", field, width);

    // What every reader of the result sees.
    size_t visible = strlen(result);
    if (visible > 0 && memmem(field, width, result, visible) == nullptr)
        fail("visible text is not in the field", field, width);

    free(result);
    free(field);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Serial number, model number, block-device name.
    check(data, size, 20);
    check(data, size, 40);
    check(data, size, 32);
    return 0;
}
