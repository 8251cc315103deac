// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/deadlines.h"

#include <pthread.h>
#include <sys/socket.h>

#include "exporter/web/tls_policy.h"
#include "stats/interval.h"

// libmicrohttpd's own timeout counts only silence, which a client that sends
// a byte now and then never lets run out. So each connection is watched here
// too: its request head must come whole within head_time of the
// connection's start (or of the answer before it, on a connection kept
// open), and its answer must have gone out within --scrape.timeout and
// answer_time of the head. One that does not is shut down; its thread
// then sees the end of the stream and closes it.
constexpr uint64_t head_time = 5 * one_second;

struct watched_connection {
    bool used;
    int socket;
    uint64_t deadline; // monotonic nanoseconds; 0: already shut down
};
// Room for two servers' connections: the one that serves and one retired.
static watched_connection watched[2 * 1024];
static pthread_mutex_t watch_lock = PTHREAD_MUTEX_INITIALIZER;

static void set_deadline(watched_connection* entry, uint64_t nanoseconds)
{
    if (entry == nullptr)
        return;
    pthread_mutex_lock(&watch_lock);
    if (entry->deadline != 0)
        entry->deadline = monotonic_nanoseconds() + nanoseconds;
    pthread_mutex_unlock(&watch_lock);
}

static watched_connection* entry_of(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<watched_connection*>(info->socket_context) : nullptr;
}

// Called by the server's thread as a connection is accepted, and as it is
// done with one, before it closes its socket: a socket in the table is
// always the connection's own.
void watch_connection(void*, MHD_Connection* connection, void** context,
                      MHD_ConnectionNotificationCode code)
{
    tls_connection_notice(nullptr, connection, context, code);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        pthread_mutex_lock(&watch_lock);
        if (*context != nullptr)
            static_cast<watched_connection*>(*context)->used = false;
        pthread_mutex_unlock(&watch_lock);
        *context = nullptr;
        return;
    }
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    pthread_mutex_lock(&watch_lock);
    for (watched_connection& entry : watched)
        if (!entry.used && info != nullptr) {
            entry = {true, info->connect_fd, monotonic_nanoseconds() + head_time};
            *context = &entry;
            break;
        }
    pthread_mutex_unlock(&watch_lock);
}

// The next request on a connection kept open has as long for its head.
void request_completed(void*, MHD_Connection* connection, void**,
                              MHD_RequestTerminationCode)
{
    set_deadline(entry_of(connection), head_time);
}

void shut_late_connections()
{
    uint64_t now = monotonic_nanoseconds();
    pthread_mutex_lock(&watch_lock);
    for (watched_connection& entry : watched)
        if (entry.used && entry.deadline != 0 && entry.deadline < now) {
            shutdown(entry.socket, SHUT_RDWR);
            entry.deadline = 0;
        }
    pthread_mutex_unlock(&watch_lock);
}

void answer_deadline(MHD_Connection* connection, uint64_t nanoseconds)
{
    set_deadline(entry_of(connection), nanoseconds);
}
