// SPDX-License-Identifier: BSD-2-Clause
// The privileged process. Its main thread reads requests and answers the list
// itself, which touches no device; reads of controllers go to a bounded set of
// worker threads, so that a controller whose admin command hangs holds one
// worker and nothing else. A controller is read by one worker at a time: a
// second request for it while the first is out is refused. A request for a
// controller whose reading began less than reuse_nanoseconds ago gets that
// reading again.
#include "exporter/device/device_side.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exporter/device/reader.h"
#include "exporter/log.h"
#include "exporter/sandbox.h"
#include "nvme/discovery.h"
#include "nvme/driver.h"
#include "stats/interval.h"

static int known_at(const known_controllers& known, const char* name)
{
    for (int i = 0; i < known.count; i++)
        if (strcmp(known.names[i], name) == 0)
            return i;
    return -1;
}

static bool is_known(const known_controllers& known, const char* name)
{
    return known_at(known, name) >= 0;
}

void note_listed(known_controllers* known, const list_answer& answer)
{
    if (answer.count < 0)
        return; // the controllers could not be listed: nothing learnt
    uint32_t list = ++known->lists;
    int count = answer.count < max_controllers ? answer.count : max_controllers;
    for (int i = 0; i < count; i++) {
        int at = known_at(*known, answer.controllers[i].controller);
        if (at >= 0)
            known->listed[at] = list;
    }
    // Those the last forget_after lists left out go; the order of the rest
    // stays.
    int kept = 0;
    for (int i = 0; i < known->count; i++)
        if (list - known->listed[i] < forget_after) {
            if (kept != i) {
                memcpy(known->names[kept], known->names[i], sizeof known->names[0]);
                known->listed[kept] = known->listed[i];
            }
            kept++;
        }
    known->count = kept;
    // Each of the last forget_after lists named at most max_controllers, so
    // a new name always finds room.
    for (int i = 0; i < count; i++) {
        const char* name = answer.controllers[i].controller;
        if (is_known(*known, name) || known->count == max_known)
            continue;
        memset(known->names[known->count], 0, sizeof known->names[0]);
        strncpy(known->names[known->count], name, sizeof known->names[0] - 1);
        known->listed[known->count++] = list;
    }
}

const char* refusal_reason(const void* record, size_t size, const known_controllers& known)
{
    if (size != sizeof(device_request))
        return "a record of the wrong size";
    device_request request;
    memcpy(&request, record, sizeof request);
    if (request.kind == list_request)
        return nullptr;
    if (request.kind != read_request)
        return "a request of an unknown kind";
    if (strnlen(request.controller, sizeof request.controller) == sizeof request.controller
        || controller_number(request.controller) < 0)
        return "a name that is not an NVMe controller's";
    if (!is_known(known, request.controller))
        return "a controller it has not listed";
    return nullptr;
}

namespace {

int link_socket;
pthread_mutex_t send_lock = PTHREAD_MUTEX_INITIALIZER;

known_controllers known;

// Requests waiting for a worker, and the controllers being read.
pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t queue_filled = PTHREAD_COND_INITIALIZER;
device_request queue[max_controllers];
int queued;
char busy[max_controllers][32];

// The latest reading of each controller, under queue_lock.
struct recent_reading {
    char controller[32];
    uint64_t taken; // monotonic nanoseconds when it began; 0: free
    size_t size;
    read_answer answer;
};
recent_reading recent[max_controllers];

void keep_reading(const read_answer& answer, size_t size)
{
    recent_reading* slot = &recent[0];
    for (recent_reading& r : recent) {
        if (r.taken != 0 && strcmp(r.controller, answer.controller) == 0) {
            slot = &r;
            break;
        }
        if (r.taken < slot->taken)
            slot = &r;
    }
    memcpy(slot->controller, answer.controller, sizeof slot->controller);
    slot->taken = monotonic_nanoseconds() - answer.nanoseconds;
    slot->size = size;
    memcpy(&slot->answer, &answer, size);
}

// Copies a reading of the controller begun within reuse_nanoseconds into
// answer; its size, or 0 when there is none.
size_t recent_answer(const char* controller, read_answer* answer)
{
    uint64_t now = monotonic_nanoseconds();
    for (const recent_reading& r : recent)
        if (r.taken != 0 && now - r.taken < reuse_nanoseconds
            && strcmp(r.controller, controller) == 0) {
            memcpy(answer, &r.answer, r.size);
            return r.size;
        }
    return 0;
}

void send_record(const void* record, size_t size)
{
    pthread_mutex_lock(&send_lock);
    while (send(link_socket, record, size, MSG_NOSIGNAL) < 0) {
        if (errno != EINTR)
            _exit(1); // the other side is gone
    }
    pthread_mutex_unlock(&send_lock);
}

// The lines of refusals this period, which began at refusals_since, and the
// refusals left out of the log. The main thread's alone.
uint64_t refusals_since;
int refusal_lines_said;
unsigned long refusals_left_out;

void say_refusals_left_out()
{
    if (refusals_left_out > 0)
        log_message("device side: refused %lu more records, beyond %d lines a minute",
                    refusals_left_out, refusal_lines);
    refusals_left_out = 0;
}

void log_refusal(const char* why)
{
    uint64_t now = monotonic_nanoseconds();
    if (now - refusals_since >= refusal_period_nanoseconds) {
        say_refusals_left_out();
        refusals_since = now;
        refusal_lines_said = 0;
    }
    if (refusal_lines_said < refusal_lines) {
        refusal_lines_said++;
        log_message("device side: refused %s", why);
    } else
        refusals_left_out++;
}

// Waits for the next record; while refusals are left out of the log, no
// longer than the end of their period, when it says how many. False when the
// period ended first.
bool wait_for_record(int link)
{
    if (refusals_left_out == 0)
        return true;
    uint64_t now = monotonic_nanoseconds();
    uint64_t end = refusals_since + refusal_period_nanoseconds;
    int wait_ms = now >= end ? 0 : static_cast<int>((end - now) / 1000000 + 1);
    pollfd record{link, POLLIN, 0};
    int polled = poll(&record, 1, wait_ms);
    if (polled != 0)
        return true; // a record, the end of the link, or an interruption: recv tells
    say_refusals_left_out();
    return false;
}

// An empty record reads as the end of the link does; the link's state tells
// them apart. True when the metrics side has closed or shut its end.
bool link_ended(int link)
{
    pollfd state{link, POLLRDHUP, 0};
    return poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

void refuse(const void* record, size_t size, const char* why)
{
    read_answer answer;
    memset(&answer, 0, offsetof(read_answer, page));
    answer.kind = refusal_kind;
    if (size >= offsetof(device_request, controller))
        memcpy(&answer.tag, static_cast<const char*>(record) + offsetof(device_request, tag),
               sizeof answer.tag);
    if (size == sizeof(device_request))
        memcpy(answer.controller, static_cast<const char*>(record)
                   + offsetof(device_request, controller), sizeof answer.controller - 1);
    answer.failed_step = read_step::refused;
    answer.failure = read_failure::request;
    answer.error = EPERM;
    log_refusal(why);
    send_record(&answer, offsetof(read_answer, page));
}

void* reader_thread(void* room)
{
    read_answer* answer = static_cast<read_answer*>(room);
    for (;;) {
        pthread_mutex_lock(&queue_lock);
        while (queued == 0)
            pthread_cond_wait(&queue_filled, &queue_lock);
        device_request request = queue[0];
        memmove(queue, queue + 1, --queued * sizeof queue[0]);
        pthread_mutex_unlock(&queue_lock);
        read_controller(request, answer);
        size_t size = answer->has_stats ? sizeof *answer : offsetof(read_answer, page);
        // Free before the answer leaves: the metrics side may ask again as
        // soon as it has it.
        pthread_mutex_lock(&queue_lock);
        keep_reading(*answer, size);
        for (auto& name : busy)
            if (strcmp(name, request.controller) == 0) {
                name[0] = '\0';
                break;
            }
        pthread_mutex_unlock(&queue_lock);
        send_record(answer, size);
    }
}

enum class handed { to_worker, answered, refused };

// Hands a read to the workers, or answers it from a recent reading; refused
// when that controller is still being read.
handed enqueue(const device_request& request)
{
    static read_answer again;
    pthread_mutex_lock(&queue_lock);
    if (size_t size = recent_answer(request.controller, &again)) {
        pthread_mutex_unlock(&queue_lock);
        again.tag = request.tag;
        send_record(&again, size);
        return handed::answered;
    }
    char* free_slot = nullptr;
    bool taken = false;
    for (auto& name : busy) {
        taken = taken || strcmp(name, request.controller) == 0;
        if (name[0] == '\0' && free_slot == nullptr)
            free_slot = name;
    }
    bool queue_it = !taken && free_slot != nullptr && queued < max_controllers;
    if (queue_it) {
        memcpy(free_slot, request.controller, sizeof busy[0]);
        queue[queued++] = request;
        pthread_cond_signal(&queue_filled);
    }
    pthread_mutex_unlock(&queue_lock);
    return queue_it ? handed::to_worker : handed::refused;
}

void answer_list(const device_request& request)
{
    static list_answer answer;
    static controller_entry entries[max_controllers];
    memset(&answer, 0, sizeof answer);
    answer.kind = list_answer_kind;
    answer.tag = request.tag;
    answer.count = list_devices(entries, max_controllers);
    if (answer.count < 0)
        answer.error = errno;
    static_assert(sizeof entries[0].controller == sizeof answer.controllers[0].controller);
    static_assert(sizeof entries[0].device == sizeof answer.controllers[0].device);
    for (int i = 0; i < answer.count; i++) {
        memcpy(answer.controllers[i].controller, entries[i].controller,
               sizeof entries[i].controller);
        memcpy(answer.controllers[i].device, entries[i].device, sizeof entries[i].device);
    }
    note_listed(&known, answer);
    send_record(&answer, sizeof answer);
}

// Ends the process a grace period after the link closes, whatever its other
// threads are waiting for.
void* watch_link(void*)
{
    for (;;) {
        pollfd link{link_socket, 0, 0}; // a hang-up is reported whatever is asked
        if (poll(&link, 1, -1) == 1 && (link.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            timespec grace{grace_seconds, 0};
            while (nanosleep(&grace, &grace) != 0 && errno == EINTR) {
            }
            _exit(0);
        }
    }
}

} // namespace

void run_device_side(int link, unsigned threads)
{
    link_socket = link;
    if (!restrict_device_side())
        _exit(1);
    // Each worker's answer is as large as a page; they live here, not on
    // the workers' stacks.
    static read_answer answers[64];
    for (unsigned i = 0; i < threads && i < sizeof answers / sizeof answers[0]; i++) {
        pthread_t worker;
        int error = pthread_create(&worker, nullptr, reader_thread, &answers[i]);
        if (error != 0) {
            log_message("device side: cannot start a reader: %s", strerror(error));
            _exit(1);
        }
        pthread_detach(worker);
    }
    pthread_t watchdog;
    int error = pthread_create(&watchdog, nullptr, watch_link, nullptr);
    if (error != 0) {
        log_message("device side: cannot start its watchdog: %s", strerror(error));
        _exit(1);
    }
    // Every thread is there: the filter or capability mode covers them all.
    // Where names are about to go (capability mode), /dev is held first.
    int device_folder;
    if (!hold_device_folder(&device_folder)) {
        log_message("device side: cannot open /dev: %s", strerror(errno));
        _exit(1);
    }
    if (!confine_device_side(device_folder))
        _exit(1);
    uint32_t ready = ready_kind;
    send_record(&ready, sizeof ready);
    for (;;) {
        char record[sizeof(device_request) + 1];
        if (!wait_for_record(link))
            continue;
        ssize_t size = recv(link, record, sizeof record, 0);
        if (size == 0 && link_ended(link)) {
            say_refusals_left_out();
            _exit(0); // the metrics side stopped
        }
        if (size < 0) {
            if (errno == EINTR)
                continue;
            _exit(1);
        }
        if (const char* why = refusal_reason(record, size, known)) {
            refuse(record, size, why);
            continue;
        }
        device_request request;
        memcpy(&request, record, sizeof request);
        if (request.kind == list_request)
            answer_list(request);
        else if (enqueue(request) == handed::refused)
            refuse(record, size, "a second request for a controller still being read");
    }
}
