// SPDX-License-Identifier: BSD-2-Clause
// A record as the metrics side could send it to the device side, checked by
// refusal_reason. The first byte chooses which controllers the device side
// has listed (a bit for each of eight names; the top bit fills the list to
// its end), the rest is the record, of whatever size. A record let through
// must be one of the two requests, whole, naming a listed controller by a
// name that ends within its field; and the check must read nothing beyond
// the record.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exporter/device/device_side.h"

static void fail(const char* what)
{
    fprintf(stderr, "refusal_reason: %s\n", what);
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const names[] = {"nvme0",  "nvme1",   "nvme2",  "nvme10",
                                        "nvme31", "nvme127", "nvme1000"};
    if (size == 0)
        return 0;
    static known_controllers known;
    memset(&known, 0, sizeof known);
    for (int i = 0; i < 7; i++)
        if (data[0] & (1u << i))
            snprintf(known.names[known.count++], sizeof known.names[0], "%s", names[i]);
    if (data[0] & 0x80)
        while (known.count < max_known) {
            snprintf(known.names[known.count], sizeof known.names[0], "nvme%d", 200 + known.count);
            known.count++;
        }

    // The record in a buffer of its own size, so that a read past it shows.
    size_t length = size - 1;
    uint8_t* record = static_cast<uint8_t*>(malloc(length ? length : 1));
    memcpy(record, data + 1, length);
    const char* why = refusal_reason(record, length, known);

    if (why != nullptr) {
        if (*why == '\0')
            fail("an empty reason");
    } else {
        if (length != sizeof(device_request))
            fail("let through a record of the wrong size");
        device_request request;
        memcpy(&request, record, sizeof request);
        if (request.kind != list_request && request.kind != read_request)
            fail("let through a request of an unknown kind");
        if (request.kind == read_request) {
            if (memchr(request.controller, '\0', sizeof request.controller) == nullptr)
                fail("let through a controller name without its end");
            bool listed = false;
            for (int i = 0; i < known.count; i++)
                listed = listed || strcmp(known.names[i], request.controller) == 0;
            if (!listed)
                fail("let through a controller that was not listed");
        }
    }
    free(record);
    return 0;
}
