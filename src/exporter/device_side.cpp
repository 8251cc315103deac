// SPDX-License-Identifier: BSD-2-Clause
// The privileged process. Its main thread reads requests and answers the list
// itself, which touches no device; reads of controllers go to a bounded set of
// worker threads, so that a controller whose admin command hangs holds one
// worker and nothing else. A controller is read by one worker at a time: a
// second request for it while the first is out is refused.
#include "exporter/device_side.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exporter/log.h"
#include "exporter/sandbox.h"
#include "identity/identity.h"
#include "nvme/driver.h"
#include "nvme/identify.h"
#include "stats/interval.h"
#include "stats/log_page.h"

static bool controller_name(const char* name, size_t size)
{
    size_t length = strnlen(name, size);
    if (length == size || length < 5 || strncmp(name, "nvme", 4) != 0)
        return false;
    return strspn(name + 4, "0123456789") == length - 4;
}

static bool is_known(const known_controllers& known, const char* name)
{
    for (int i = 0; i < known.count; i++)
        if (strcmp(known.names[i], name) == 0)
            return true;
    return false;
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
    if (!controller_name(request.controller, sizeof request.controller))
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
device_request queue[max_listed];
int queued;
char busy[max_listed][32];

void send_record(const void* record, size_t size)
{
    pthread_mutex_lock(&send_lock);
    while (send(link_socket, record, size, MSG_NOSIGNAL) < 0) {
        if (errno != EINTR)
            _exit(1); // the other side is gone
    }
    pthread_mutex_unlock(&send_lock);
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
    log_message("device side: refused %s", why);
    send_record(&answer, offsetof(read_answer, page));
}

// The node must still be the NVMe controller of that name: a character
// device whose driver says it is a controller, not a namespace.
bool is_controller_node(int descriptor, const char* name)
{
    struct stat node;
    node_nsid which;
    return fstat(descriptor, &node) == 0 && S_ISCHR(node.st_mode) && get_nsid(descriptor, &which) == 0
        && which.nsid == 0 && strcmp(which.cdev, name) == 0;
}

void fail(read_answer* answer, read_step step, admin_outcome outcome)
{
    answer->failed_step = step;
    answer->failure = outcome == admin_outcome::completion_error ? read_failure::completion
                                                                 : read_failure::request;
    answer->error = outcome == admin_outcome::completion_error ? 0 : errno;
}

bool read_identity(const identify_controller_data& data, read_answer* answer)
{
    identity_fields fields;
    if (!read_identity_fields(data, &fields))
        return false;
    copy_field(answer->serial, sizeof answer->serial, fields.serial);
    copy_field(answer->model, sizeof answer->model, fields.model);
    copy_field(answer->block_device, sizeof answer->block_device, bdev_name(fields.bdev));
    char id[volume_id_size];
    volume_id(fields.serial, id);
    copy_field(answer->volume_id, sizeof answer->volume_id, id);
    free_identity_fields(&fields);
    return true;
}

void read_statistics(int descriptor, read_answer* answer)
{
    switch (fetch_stats_log(descriptor, &answer->page)) {
    case stats_outcome::success:
        answer->has_stats = 1;
        return;
    case stats_outcome::completion_error:
        fail(answer, read_step::statistics, admin_outcome::completion_error);
        return;
    case stats_outcome::not_ebs:
        answer->failed_step = read_step::statistics;
        answer->failure = read_failure::signature;
        return;
    case stats_outcome::request_failed:
    case stats_outcome::output_failed:
        fail(answer, read_step::statistics, admin_outcome::request_failed);
        return;
    }
}

void read_controller(const device_request& request, read_answer* answer)
{
    static_assert(sizeof answer->controller == sizeof request.controller);
    memset(answer, 0, offsetof(read_answer, page));
    answer->kind = read_answer_kind;
    answer->tag = request.tag;
    memcpy(answer->controller, request.controller, sizeof answer->controller);
    answer->platform_device = 1;
    char path[8 + sizeof request.controller];
    snprintf(path, sizeof path, "/dev/%s", request.controller);
    uint64_t start = monotonic_nanoseconds();
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0 || !is_controller_node(descriptor, request.controller)) {
        if (descriptor >= 0)
            errno = ENODEV;
        fail(answer, read_step::open, admin_outcome::request_failed);
    } else {
        static thread_local identify_controller_data identify;
        admin_outcome outcome = identify_controller(descriptor, &identify);
        if (outcome != admin_outcome::success)
            fail(answer, read_step::identify, outcome);
        else {
            device_kind kind = controller_kind(identify);
            if (kind == device_kind::other_vendor || kind == device_kind::other_model)
                answer->platform_device = 0;
            else if (kind == device_kind::no_memory || !read_identity(identify, answer))
                fail(answer, read_step::identity, admin_outcome::request_failed);
            else {
                answer->identified = 1;
                answer->is_ebs = kind == device_kind::ebs_volume;
                if (answer->is_ebs)
                    read_statistics(descriptor, answer);
            }
        }
    }
    if (descriptor >= 0)
        close(descriptor);
    answer->nanoseconds = monotonic_nanoseconds() - start;
}

void* work(void* room)
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
        // Free before the answer leaves: the network side may ask again as
        // soon as it has it.
        pthread_mutex_lock(&queue_lock);
        for (auto& name : busy)
            if (strcmp(name, request.controller) == 0) {
                name[0] = '\0';
                break;
            }
        pthread_mutex_unlock(&queue_lock);
        send_record(answer, answer->has_stats ? sizeof *answer : offsetof(read_answer, page));
    }
}

// Hands a read to the workers; false when that controller is still being read.
bool enqueue(const device_request& request)
{
    pthread_mutex_lock(&queue_lock);
    char* free_slot = nullptr;
    bool taken = false;
    for (auto& name : busy) {
        taken = taken || strcmp(name, request.controller) == 0;
        if (name[0] == '\0' && free_slot == nullptr)
            free_slot = name;
    }
    bool queue_it = !taken && free_slot != nullptr && queued < max_listed;
    if (queue_it) {
        memcpy(free_slot, request.controller, sizeof busy[0]);
        queue[queued++] = request;
        pthread_cond_signal(&queue_filled);
    }
    pthread_mutex_unlock(&queue_lock);
    return queue_it;
}

void answer_list(const device_request& request)
{
    static list_answer answer;
    static controller_entry entries[max_listed];
    memset(&answer, 0, sizeof answer);
    answer.kind = list_answer_kind;
    answer.tag = request.tag;
    answer.count = list_controllers(entries, max_listed);
    if (answer.count < 0)
        answer.error = errno;
    else // the controllers of one multipath namespace show its device once
        answer.count = distinct_devices(entries, answer.count);
    static_assert(sizeof entries[0].controller == sizeof answer.controllers[0].controller);
    static_assert(sizeof entries[0].device == sizeof answer.controllers[0].device);
    for (int i = 0; i < answer.count; i++) {
        memcpy(answer.controllers[i].controller, entries[i].controller,
               sizeof entries[i].controller);
        memcpy(answer.controllers[i].device, entries[i].device, sizeof entries[i].device);
        if (!is_known(known, entries[i].controller) && known.count < max_known)
            memcpy(known.names[known.count++], entries[i].controller, sizeof known.names[0]);
    }
    send_record(&answer, sizeof answer);
}

} // namespace

void run_device_side(int link, unsigned threads)
{
    link_socket = link;
    restrict_device_side();
    // Each worker's answer is as large as a page; they live here, not on
    // the workers' stacks.
    static read_answer answers[64];
    for (unsigned i = 0; i < threads && i < sizeof answers / sizeof answers[0]; i++) {
        pthread_t worker;
        int error = pthread_create(&worker, nullptr, work, &answers[i]);
        if (error != 0) {
            log_message("device side: cannot start a reader: %s", strerror(error));
            _exit(1);
        }
        pthread_detach(worker);
    }
    for (;;) {
        char record[sizeof(device_request) + 1];
        ssize_t size = recv(link, record, sizeof record, 0);
        if (size == 0)
            _exit(0); // the network side stopped
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
        else if (!enqueue(request))
            refuse(record, size, "a second request for a controller still being read");
    }
}
