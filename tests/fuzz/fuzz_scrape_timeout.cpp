// SPDX-License-Identifier: BSD-2-Clause
// An X-Prometheus-Scrape-Timeout-Seconds header as a client sends it: the
// first byte picks the --scrape.timeout, the rest is the header's text. Any
// text gives a time the scrape can keep: above nothing, within the operator's
// limit, and at least the shortest scrape the server allows where that limit
// allows it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exporter/web/server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const double limits[] = {10, 0.5, 0.2, 3600, 1, 0.001, 2.5, 60};
    if (size == 0)
        return 0;
    double most = limits[data[0] % (sizeof limits / sizeof limits[0])];
    // libmicrohttpd hands over the header as a C string.
    size_t length = size - 1;
    char* header = static_cast<char*>(malloc(length + 1));
    memcpy(header, data + 1, length);
    header[length] = '\0';

    double seconds = scrape_seconds(header, most);
    double least = most < 0.5 ? most : 0.5;
    if (!std::isfinite(seconds) || seconds < least || seconds > most) {
        fprintf(stderr, "scrape_seconds: %.17g s for \"%s\" with --scrape.timeout=%g\n", seconds,
                header, most);
        abort();
    }
    if (scrape_seconds(nullptr, most) != most) {
        fprintf(stderr, "scrape_seconds: without a header, not --scrape.timeout\n");
        abort();
    }
    free(header);
    return 0;
}
