// SPDX-License-Identifier: BSD-2-Clause
// The identity report on arbitrary Identify Controller data, with every
// combination of -v, -b, -m and -s. Its output is compared with the lines
// worked out here from the raw fields, and a device that is not an EBS volume
// must be refused before anything is printed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/identity_report.h"

#include "capture.h"

// Calls to trim_field made by print_identity (linked with --wrap).
struct trim_call {
    const char* field;
    size_t width;
    char* result;
};
static trim_call calls[8];
static int call_count;

extern "C" char* __real__Z10trim_fieldPKcm(const char* field, size_t width);

extern "C" char* __wrap__Z10trim_fieldPKcm(const char* field, size_t width)
{
    char* result = __real__Z10trim_fieldPKcm(field, width);
    if (call_count < 8)
        calls[call_count] = trim_call{field, width, result};
    call_count++;
    return result;
}

// False when the report refused the device.
static bool report(const identify_controller_data* page, identity_selection* wanted)
{
    identity_outcome outcome = print_identity(*page, wanted);
    if (outcome == identity_outcome::no_memory)
        abort();
    return outcome == identity_outcome::printed;
}

// The text a reader of trim_field's result sees: the field without its
// leading spaces, up to its first NUL, without trailing spaces when nothing
// but padding follows them.
static size_t visible_text(const char* field, size_t width, const char** start)
{
    size_t begin = 0;
    while (begin < width && field[begin] == ' ')
        begin++;
    size_t end = begin;
    while (end < width && field[end] != '\0')
        end++;
    bool padding_after = true;
    for (size_t i = end; i < width; i++)
        if (field[i] != ' ' && field[i] != '\0')
            padding_after = false;
    if (padding_after)
        while (end > begin && field[end - 1] == ' ')
            end--;
    *start = field + begin;
    return end - begin;
}

struct text {
    char bytes[256];
    size_t length;
};

static void append(text* out, const char* bytes, size_t length)
{
    memcpy(out->bytes + out->length, bytes, length);
    out->length += length;
}

static void dump(const char* label, const char* bytes, size_t length)
{
    fprintf(stderr, "%s (%zu bytes):", label, length);
    for (size_t i = 0; i < length; i++)
        fprintf(stderr, " %02x", static_cast<unsigned char>(bytes[i]));
    fputc('\n', stderr);
}

static void fail(const char* what, int flags, const char* output, size_t length,
                 const text* expected)
{
    fprintf(stderr, "print_identity with%s%s%s%s%s: %s\n", flags & 1 ? " -v" : "",
            flags & 2 ? " -b" : "", flags & 4 ? " -m" : "", flags & 8 ? " -s" : "",
            flags == 0 ? "out options" : "", what);
    if (output != nullptr)
        dump("output", output, length);
    if (expected != nullptr)
        dump("expected", expected->bytes, expected->length);
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Exactly one Identify Controller page, zero-padded, in a variable of its
    // own, which the sanitizer fences: a read past the page is caught.
    static identify_controller_data identify;
    identify_controller_data* page = &identify;
    memset(page, 0, sizeof *page);
    memcpy(page, data, size < sizeof *page ? size : sizeof *page);

    const char *serial, *model, *bdev;
    size_t serial_length = visible_text(page->sn, sizeof page->sn, &serial);
    size_t model_length = visible_text(page->mn, sizeof page->mn, &model);
    size_t bdev_length = visible_text(page->vs_bdev, sizeof page->vs_bdev, &bdev);
    bool ebs = model_length == strlen(ebs_model) && memcmp(model, ebs_model, model_length) == 0;

    // Bit 0 -v, bit 1 -b, bit 2 -m, bit 3 -s.
    for (int flags = 0; flags < 16; flags++) {
        bool volume = flags & 1 || flags == 0;
        bool block_device = flags & 2 || flags == 0;
        bool refuse = (volume || block_device) && !ebs;

        // Refused: nothing at all on standard output. Field bytes are printed
        // as they stand, control characters included: a serial field holding
        // "vol0abc\nVolume ID: x" prints a second "Volume ID:" line, so a
        // field can add lines to the report.
        text expected{};
        if (!refuse && volume) {
            append(&expected, "Volume ID: ", 11);
            if (serial_length >= 3 && memcmp(serial, "vol", 3) == 0
                && !(serial_length >= 4 && serial[3] == '-')) {
                append(&expected, "vol-", 4);
                append(&expected, serial + 3, serial_length - 3);
            } else {
                append(&expected, serial, serial_length);
            }
            append(&expected, "\n", 1);
        }
        if (!refuse && block_device) {
            bool prefixed = bdev_length >= 5 && memcmp(bdev, "/dev/", 5) == 0;
            append(&expected, bdev + (prefixed ? 5 : 0), bdev_length - (prefixed ? 5 : 0));
            append(&expected, "\n", 1);
        }
        if (!refuse && flags & 4) {
            append(&expected, model, model_length);
            append(&expected, "\n", 1);
        }
        if (!refuse && flags & 8) {
            append(&expected, serial, serial_length);
            append(&expected, "\n", 1);
        }

        identity_selection wanted = {};
        wanted.want_volume = flags & 1;
        wanted.want_bdev = flags & 2;
        wanted.want_model = flags & 4;
        wanted.want_serial = flags & 8;
        call_count = 0;

        capture c;
        begin_capture(&c);
        bool finished = report(page, &wanted);
        end_capture(&c);
        const char* output = c.output;
        size_t length = c.length;

        // All three strings, always, in this order, from the right fields.
        if (call_count != 3 || calls[0].field != page->sn || calls[0].width != 20
            || calls[1].field != page->mn || calls[1].width != 40
            || calls[2].field != page->vs_bdev || calls[2].width != 32)
            fail("serial, model and bdev not derived in that order", flags, nullptr, 0, nullptr);

        if (finished == refuse)
            fail(refuse ? "a device that is not an EBS volume was not refused"
                        : "an EBS volume was refused",
                 flags, output, length, &expected);
        if (memchr(output, '\0', length) != nullptr)
            fail("NUL in the output", flags, output, length, &expected);
        // At most four lines, volume, bdev, model, serial in that order, each
        // the value as a reader of the field sees it; none when refused.
        if (length != expected.length || memcmp(output, expected.bytes, length) != 0)
            fail("output differs", flags, output, length, &expected);
    }
    return 0;
}
