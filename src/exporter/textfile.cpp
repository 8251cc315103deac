// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/textfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exporter/log.h"
#include "exporter/metrics.h"
#include "exporter/scrape.h"
#include "exporter/stop_signals.h"
#include "stats/interval.h"

static bool write_all(int descriptor, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t written = write(descriptor, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= written;
    }
    return true;
}

bool write_textfile(const char* path, const text_buffer& page)
{
    // A name the collector does not read (it takes *.prom only), beside the target.
    char temporary[4096];
    const char* slash = strrchr(path, '/');
    int folder = slash ? static_cast<int>(slash - path + 1) : 0;
    if (snprintf(temporary, sizeof temporary, "%.*s.%s.XXXXXX", folder, path,
                 path + folder) >= static_cast<int>(sizeof temporary)) {
        log_message("%s: %s", path, strerror(ENAMETOOLONG));
        return false;
    }
    int descriptor = mkstemp(temporary);
    if (descriptor < 0) {
        log_message("cannot create a file beside %s: %s", path, strerror(errno));
        return false;
    }
    // The collector runs as another user.
    bool written = fchmod(descriptor, 0644) == 0 && write_all(descriptor, page.data, page.used)
        && fsync(descriptor) == 0;
    int cause = errno;
    if (close(descriptor) != 0 && written) {
        written = false;
        cause = errno;
    }
    if (written && rename(temporary, path) != 0) {
        written = false;
        cause = errno;
    }
    if (!written) {
        unlink(temporary);
        log_message("cannot write %s: %s", path, strerror(cause));
    }
    return written;
}

static bool scrape_and_write(const char* path, scrape_room* room, double seconds)
{
    if (!scrape(&room->readings, seconds)) {
        log_message("cannot list the NVMe controllers: %s", strerror(errno));
        return false;
    }
    render_metrics(room->readings, &room->page);
    if (room->page.failed) {
        log_message("out of memory");
        return false;
    }
    return write_textfile(path, room->page);
}

int run_textfile(const char* path, unsigned interval, double seconds)
{
    scrape_room* room = take_scrape_room();
    if (room == nullptr) {
        log_message("out of memory");
        return 1;
    }
    if (interval == 0) {
        bool written = scrape_and_write(path, room, seconds);
        give_scrape_room(room);
        return written ? 0 : 1;
    }
    // A stop request, held since the start, waits for the file in hand.
    uint64_t next = monotonic_nanoseconds();
    for (;;) {
        scrape_and_write(path, room, seconds); // a failed write is reported and tried again
        next += interval * uint64_t{1000000000};
        uint64_t now = monotonic_nanoseconds();
        if (now > next) // the write took longer than the interval
            next = now;
        if (stop_signal_within(next - now))
            break;
    }
    give_scrape_room(room);
    return 0;
}
