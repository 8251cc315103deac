// SPDX-License-Identifier: BSD-2-Clause
// The web configuration in force, and its reloads: one thread at a time reads
// the files again, outside the lock that requests take, and swaps the new
// configuration in under it.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "exporter/log.h"
#include "exporter/webconfig/webconfig.h"

namespace {

// The configuration in force, and what the handler threads share: held only
// to read it or to put a new one in its place.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
web_config current;
unsigned tls_generation;

// The one thread at a time that looks at the files and reads them again,
// outside the lock; the state below is its own.
pthread_mutex_t reload_lock = PTHREAD_MUTEX_INITIALIZER;
const char* config_path;
const char* reader; // the user the files are read as
config_watch watched;
char reported[4600]; // why the files last failed to read, once told; "" when they read
bool lost; // a folder was replaced that cannot be opened again

bool same_text(const char* a, const char* b)
{
    return (a == nullptr && b == nullptr) || (a != nullptr && b != nullptr && strcmp(a, b) == 0);
}

bool same_tls(const web_config& a, const web_config& b)
{
    return same_text(a.cert, b.cert) && same_text(a.key, b.key)
        && same_text(a.client_ca, b.client_ca) && a.min_version == b.min_version
        && a.max_version == b.max_version;
}

} // namespace

bool load_web_config(const char* path, const char* user)
{
    reader = user;
    char error[sizeof reported];
    if (!read_web_config(path, reader, &current, &watched, error, sizeof error)) {
        log_message("invalid --web.config.file: %s", error);
        return false;
    }
    config_path = path;
    return true;
}

// Takes the reload lock for a request thread: it waits while another thread
// reads the files, so that a change applies from the next request, but never
// for long.
bool take_reload_lock(bool wait)
{
    if (!wait)
        return pthread_mutex_trylock(&reload_lock) == 0;
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 2;
    return pthread_mutex_timedlock(&reload_lock, &until) == 0;
}

bool refresh_web_config(bool wait)
{
    if (config_path == nullptr || !take_reload_lock(wait))
        return false;
    if (lost) {
        pthread_mutex_unlock(&reload_lock);
        return false;
    }
    char followed[4600];
    int folders = follow_config_folders(followed, sizeof followed);
    if (folders < 0) {
        log_message("--web.config.file: %s: exiting, so that the service manager starts the "
                    "exporter again with the new files",
                    followed);
        lost = true;
        pthread_mutex_unlock(&reload_lock);
        return false;
    }
    if (folders > 0)
        log_message("--web.config.file: %s", followed);
    bool changed = folders > 0;
    for (int k = 0; k < watched_files && !changed; k++) {
        file_mark now;
        if (watched.paths[k][0] != '\0')
            mark_config_file(watched.paths[k], &now);
        else
            now = file_mark{};
        changed = !same_mark(now, watched.marks[k]);
    }
    web_config fresh;
    char error[sizeof reported];
    bool good = changed && read_web_config(config_path, reader, &fresh, &watched, error, sizeof error);
    if (good && fresh.tls != current.tls) {
        snprintf(error, sizeof error, "%s: turning TLS on or off needs a restart", config_path);
        free_config(&fresh);
        good = false;
    }
    if (changed && !good) {
        // The same fault is told once, however often the file is touched.
        if (strcmp(error, reported) != 0)
            log_message("cannot read --web.config.file again, keeping the configuration in force: %s",
                   error);
        snprintf(reported, sizeof reported, "%s", error);
    } else if (good) {
        if (reported[0] != '\0')
            log_message("--web.config.file %s reads again", config_path);
        reported[0] = '\0';
        // Only this thread changes current: reading it without the lock is safe.
        bool new_tls = !same_tls(fresh, current);
        web_config old = current;
        pthread_mutex_lock(&lock);
        current = fresh;
        if (new_tls)
            tls_generation++;
        pthread_mutex_unlock(&lock);
        free_config(&old);
    }
    pthread_mutex_unlock(&reload_lock);
    return good;
}

bool web_config_lost()
{
    pthread_mutex_lock(&reload_lock);
    bool gone = lost;
    pthread_mutex_unlock(&reload_lock);
    return gone;
}

bool web_tls()
{
    return current.tls;
}

unsigned web_tls_generation()
{
    pthread_mutex_lock(&lock);
    unsigned generation = tls_generation;
    pthread_mutex_unlock(&lock);
    return generation;
}

bool web_configured()
{
    return config_path != nullptr;
}

const web_config* hold_web_config()
{
    if (config_path == nullptr)
        return nullptr;
    pthread_mutex_lock(&lock);
    return &current;
}

void release_web_config()
{
    pthread_mutex_unlock(&lock);
}
