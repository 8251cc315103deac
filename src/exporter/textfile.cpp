// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/textfile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exporter/options.h"
#include "exporter/scrape.h"

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
        report("%s: %s", path, strerror(ENAMETOOLONG));
        return false;
    }
    int descriptor = mkstemp(temporary);
    if (descriptor < 0) {
        report("cannot create a file beside %s: %s", path, strerror(errno));
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
        report("cannot write %s: %s", path, strerror(cause));
    }
    return written;
}

static bool scrape_and_write(const char* path, text_buffer* page)
{
    if (!scrape(page, exporter.scrape_timeout)) {
        report("cannot list the NVMe controllers: %s", strerror(errno));
        return false;
    }
    if (page->failed) {
        report("out of memory");
        return false;
    }
    return write_textfile(path, *page);
}

int run_textfile(const char* path, unsigned interval)
{
    static text_buffer page;
    if (interval == 0) {
        bool written = scrape_and_write(path, &page);
        free_text(&page);
        return written ? 0 : 1;
    }
    // A stop request waits for the file in hand to be written.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        scrape_and_write(path, &page); // a failed write is reported and tried again
        next.tv_sec += interval;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec wait{next.tv_sec - now.tv_sec, next.tv_nsec - now.tv_nsec};
        if (wait.tv_nsec < 0) {
            wait.tv_sec--;
            wait.tv_nsec += 1000000000;
        }
        if (wait.tv_sec < 0) { // the write took longer than the interval
            wait = timespec{0, 0};
            next = now;
        }
        int received = sigtimedwait(&stop, nullptr, &wait);
        if (received == SIGTERM || received == SIGINT)
            break;
    }
    free_text(&page);
    return 0;
}
