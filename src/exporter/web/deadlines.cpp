// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/web/deadlines.h"

#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <pthread.h>

#include "exporter/web/tls_policy.h"
#include "stats/interval.h"

// libmicrohttpd's own timeout counts only silence, which a client that sends
// a byte now and then never lets run out. So each connection is watched here
// too: its request head must come whole within head_time of the
// connection's start (or of the answer before it, on a connection kept
// open), and its answer must have gone out within --scrape.timeout and
// answer_time of the head. One that does not is shut down; its thread
// then sees the end of the stream and closes it. While the table is nearly
// full, a head has only busy_head_time: a few addresses holding slow heads
// then give their slots up soon enough for a scrape from elsewhere.
constexpr uint64_t head_time = 5 * one_second;
constexpr uint64_t busy_head_time = one_second;
// How often the deadlines are looked at.
constexpr long deadline_tick = 100 * 1000 * 1000;

struct watched_connection {
    bool used;
    bool in_head; // its deadline is a head's
    int socket;
    uint64_t since;    // when the head's time began (monotonic nanoseconds)
    uint64_t deadline; // monotonic nanoseconds; 0: already shut down
    address_key client;
};
// Room for two servers' connections: the one that serves and one retired.
static watched_connection watched[2 * 1024];
static pthread_mutex_t watch_lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned table_size = 32, most_per_client = 8, client_prefix = 64;

bool key_of_address(const sockaddr* address, unsigned ipv6_prefix, address_key* key)
{
    *key = address_key{};
    if (address == nullptr)
        return false;
    if (address->sa_family == AF_INET) {
        const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(address);
        // As an IPv6 socket shows it, so that both forms count as one client.
        key->bytes[10] = key->bytes[11] = 0xff;
        memcpy(key->bytes + 12, &v4->sin_addr, 4);
        return true;
    }
    if (address->sa_family != AF_INET6)
        return false;
    const unsigned char* bytes = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr;
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    unsigned bits = memcmp(bytes, mapped, sizeof mapped) == 0 ? 128 : ipv6_prefix;
    if (bits > 128)
        bits = 128;
    memcpy(key->bytes, bytes, bits / 8);
    if (bits % 8 != 0)
        key->bytes[bits / 8] = bytes[bits / 8] & static_cast<unsigned char>(0xff00 >> (bits % 8));
    return true;
}

void set_connection_bounds(unsigned table, unsigned per_client, unsigned ipv6_prefix)
{
    pthread_mutex_lock(&watch_lock);
    table_size = table;
    most_per_client = per_client;
    client_prefix = ipv6_prefix;
    pthread_mutex_unlock(&watch_lock);
}

static void set_deadline(watched_connection* entry, uint64_t nanoseconds, bool head)
{
    if (entry == nullptr)
        return;
    pthread_mutex_lock(&watch_lock);
    if (entry->deadline != 0) {
        entry->since = monotonic_nanoseconds();
        entry->deadline = entry->since + nanoseconds;
        entry->in_head = head;
    }
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
    const MHD_ConnectionInfo* peer =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    address_key client;
    pthread_mutex_lock(&watch_lock);
    key_of_address(peer ? peer->client_addr : nullptr, client_prefix, &client);
    unsigned same = 0;
    for (const watched_connection& entry : watched)
        same += entry.used && entry.deadline != 0
            && memcmp(entry.client.bytes, client.bytes, sizeof client.bytes) == 0;
    uint64_t now = monotonic_nanoseconds();
    for (watched_connection& entry : watched)
        if (!entry.used && info != nullptr) {
            entry = {true, true, info->connect_fd, now, now + head_time, client};
            *context = &entry;
            // Past its client's share: shut at once (the server counts exact
            // addresses alone, this an IPv6 client's whole prefix).
            if (same >= most_per_client) {
                shutdown(entry.socket, SHUT_RDWR);
                entry.deadline = 0;
            }
            break;
        }
    pthread_mutex_unlock(&watch_lock);
}

// The next request on a connection kept open has as long for its head.
void request_completed(void*, MHD_Connection* connection, void**,
                              MHD_RequestTerminationCode)
{
    set_deadline(entry_of(connection), head_time, true);
}

void shut_late_connections()
{
    uint64_t now = monotonic_nanoseconds();
    pthread_mutex_lock(&watch_lock);
    unsigned open = 0;
    for (const watched_connection& entry : watched)
        open += entry.used;
    bool busy = 4 * open >= 3 * table_size;
    for (watched_connection& entry : watched)
        if (entry.used && entry.deadline != 0
            && (entry.deadline < now || (busy && entry.in_head && now - entry.since > busy_head_time))) {
            shutdown(entry.socket, SHUT_RDWR);
            entry.deadline = 0;
        }
    pthread_mutex_unlock(&watch_lock);
}

void answer_deadline(MHD_Connection* connection, uint64_t nanoseconds)
{
    set_deadline(entry_of(connection), nanoseconds, false);
}

static pthread_t deadline_thread;
static pthread_mutex_t thread_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t thread_stop = PTHREAD_COND_INITIALIZER;
static bool stopping;

static void* enforce_deadlines(void*)
{
    pthread_mutex_lock(&thread_lock);
    while (!stopping) {
        pthread_mutex_unlock(&thread_lock);
        shut_late_connections();
        pthread_mutex_lock(&thread_lock);
        timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += deadline_tick;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000;
        }
        if (!stopping)
            pthread_cond_timedwait(&thread_stop, &thread_lock, &until);
    }
    pthread_mutex_unlock(&thread_lock);
    return nullptr;
}

bool start_deadline_thread()
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_destroy(&thread_stop);
    pthread_cond_init(&thread_stop, &attributes);
    pthread_condattr_destroy(&attributes);
    stopping = false;
    return pthread_create(&deadline_thread, nullptr, &enforce_deadlines, nullptr) == 0;
}

void stop_deadline_thread()
{
    pthread_mutex_lock(&thread_lock);
    stopping = true;
    pthread_cond_signal(&thread_stop);
    pthread_mutex_unlock(&thread_lock);
    pthread_join(deadline_thread, nullptr);
}
