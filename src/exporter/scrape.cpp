// The network side of a scrape. Requests go to the device side, whose workers
// read the controllers in parallel; one thread here takes every answer into a
// table that outlives scrapes, carrying the running totals. A scrape asks each
// listed controller that is not still busy with an earlier request, waits
// until its deadline, and renders what the table holds for the controllers
// that answered. Scrapes at once share the requests out, and the totals only
// move forward under the table's lock, so no scraper sees one go back.
#include "exporter/scrape.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "exporter/device_link.h"
#include "exporter/device_records.h"
#include "exporter/fleet.h"
#include "exporter/metrics.h"
#include "exporter/options.h"

static_assert(max_listed <= max_controllers);

namespace {

using clock_type = std::chrono::steady_clock;

struct device_slot {
    bool used;
    bool busy;         // a read is out: no other is sent until it is answered
    bool answered;     // reading holds an answer
    bool failing;      // the last word on it was a failure, which the log told
    bool timed_out;    // ... because it did not answer in time
    uint32_t asked;    // tag of the latest read sent
    uint32_t received; // tag of the latest answer
    bool platform_device;
    char reason[192];
    volume_reading reading;
};

// Controllers that are gone keep their slot while a read of theirs is out.
constexpr int max_slots = 2 * max_listed;
device_slot slots[max_slots];

std::mutex table_lock;
std::condition_variable table_changed;
uint32_t last_tag;

// One list request is out at a time.
std::mutex list_turn;
list_answer latest_list;
uint32_t list_received;

// Tags wrap; an answer is new enough when it is not before the one wanted.
bool reached(uint32_t tag, uint32_t wanted)
{
    return static_cast<int32_t>(tag - wanted) >= 0;
}

uint32_t new_tag()
{
    return ++last_tag == 0 ? ++last_tag : last_tag;
}

void copy_text(char* to, size_t size, const char* from)
{
    size_t length = strnlen(from, size - 1);
    memcpy(to, from, length);
    to[length] = '\0';
}

device_slot* find_slot(const char* controller)
{
    for (device_slot& slot : slots)
        if (slot.used && strcmp(slot.reading.controller, controller) == 0)
            return &slot;
    return nullptr;
}

device_slot* new_slot(const listed_controller& entry)
{
    for (device_slot& slot : slots)
        if (!slot.used) {
            memset(&slot, 0, offsetof(device_slot, reading));
            memset(&slot.reading, 0, offsetof(volume_reading, page));
            slot.used = true;
            copy_text(slot.reading.controller, sizeof slot.reading.controller, entry.controller);
            return &slot;
        }
    return nullptr;
}

void describe_failure(const read_answer& answer, char (&reason)[192])
{
    static const char* const steps[] = {"", "opening the node", "the Identify command",
                                        "reading the identity", "the statistics log page",
                                        "the request"};
    unsigned step = static_cast<unsigned>(answer.failed_step);
    const char* what = step < sizeof steps / sizeof steps[0] ? steps[step] : "a request";
    switch (answer.failure) {
    case read_failure::completion:
        snprintf(reason, sizeof reason, "%s: the controller completed it with an error status",
                 what);
        return;
    case read_failure::signature:
        snprintf(reason, sizeof reason, "%s: not the EBS statistics page", what);
        return;
    case read_failure::none:
    case read_failure::request:
        break;
    }
    snprintf(reason, sizeof reason, "%s: %s", what,
             answer.failed_step == read_step::refused ? "refused by the device side"
                                                      : strerror(answer.error));
}

// Tells the log when a device starts failing or fails for another reason.
// That it answers again is told by the scrape that gets its answer in time,
// so that a device slower than the deadline is not told of at every scrape.
void note_failure(device_slot* slot, const char* reason)
{
    const volume_reading& reading = slot->reading;
    if (!slot->failing || slot->timed_out || strcmp(slot->reason, reason) != 0) {
        report("%s (%s): %s", reading.device, reading.controller, reason);
        copy_text(slot->reason, sizeof slot->reason, reason);
    }
    slot->failing = true;
    slot->timed_out = false;
}

void take_answer(const read_answer& answer, size_t size)
{
    device_slot* slot = find_slot(answer.controller);
    if (slot == nullptr || !slot->busy || slot->asked != answer.tag)
        return;
    static volume_reading next;
    memset(&next, 0, offsetof(volume_reading, page));
    copy_text(next.controller, sizeof next.controller, slot->reading.controller);
    copy_text(next.device, sizeof next.device, slot->reading.device);
    bool stats = answer.kind == read_answer_kind && answer.has_stats && size == sizeof answer;
    if (answer.kind == read_answer_kind) {
        next.identified = answer.identified;
        next.is_ebs = answer.is_ebs;
        copy_text(next.volume_id, sizeof next.volume_id, answer.volume_id);
        copy_text(next.serial, sizeof next.serial, answer.serial);
        copy_text(next.model, sizeof next.model, answer.model);
        copy_text(next.block_device, sizeof next.block_device, answer.block_device);
        next.nanoseconds = answer.nanoseconds;
    }
    const volume_reading* previous = slot->answered ? &slot->reading : nullptr;
    if (next.identified && next.is_ebs) {
        if (stats)
            carry_totals(&next, answer.page, previous);
        else
            keep_totals(&next, previous);
    }
    slot->busy = false;
    slot->answered = true;
    slot->received = answer.tag;
    slot->platform_device = answer.kind != read_answer_kind || answer.platform_device;
    memcpy(&slot->reading, &next, sizeof next);
    if (slot->platform_device && !(next.identified && (!next.is_ebs || stats))) {
        char reason[192];
        describe_failure(answer, reason);
        note_failure(slot, reason);
    }
}

void take_answers()
{
    static union {
        list_answer list;
        read_answer read;
    } answer;
    for (;;) {
        size_t size = receive_device_answer(&answer, sizeof answer);
        if (size == 0)
            return;
        std::lock_guard<std::mutex> hold(table_lock);
        if (answer.list.kind == list_answer_kind && size == sizeof answer.list) {
            memcpy(&latest_list, &answer.list, sizeof latest_list);
            list_received = answer.list.tag;
        } else if (answer.read.kind != list_answer_kind && size >= offsetof(read_answer, page))
            take_answer(answer.read, size);
        table_changed.notify_all();
    }
}

// The controllers of the machine now, from the device side, by the deadline.
bool list(listed_controller* entries, int* count, clock_type::time_point deadline)
{
    std::lock_guard<std::mutex> turn(list_turn);
    std::unique_lock<std::mutex> hold(table_lock);
    device_request request{};
    request.kind = list_request;
    request.tag = new_tag();
    send_device_request(request);
    if (!table_changed.wait_until(hold, deadline, [&] { return list_received == request.tag; })) {
        errno = ETIMEDOUT;
        return false;
    }
    if (latest_list.count < 0) {
        errno = latest_list.error;
        return false;
    }
    *count = latest_list.count < max_listed ? latest_list.count : max_listed;
    memcpy(entries, latest_list.controllers, *count * sizeof entries[0]);
    return true;
}

bool listed_before(const listed_controller* entries, int index)
{
    for (int i = 0; i < index; i++)
        if (strcmp(entries[i].device, entries[index].device) == 0)
            return true;
    return false;
}

std::thread answers;

// Room for the scrapes at once, kept for the next ones: connections come and
// go on threads of their own, and memory taken on each would scatter.
std::mutex spare_lock;
fleet* spare[64];
int spares;

fleet* take_fleet()
{
    std::lock_guard<std::mutex> hold(spare_lock);
    if (spares > 0)
        return spare[--spares];
    return static_cast<fleet*>(malloc(sizeof(fleet)));
}

void give_back(fleet* readings)
{
    std::lock_guard<std::mutex> hold(spare_lock);
    if (spares < static_cast<int>(sizeof spare / sizeof spare[0]))
        spare[spares++] = readings;
    else
        free(readings);
}

} // namespace

void start_scrapes()
{
    answers = std::thread(take_answers);
}

void stop_scrapes()
{
    stop_device_side();
    if (answers.joinable())
        answers.join();
}

bool scrape(text_buffer* out, double seconds)
{
    clock_type::time_point start = clock_type::now();
    clock_type::time_point deadline =
        start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
    static thread_local listed_controller entries[max_listed];
    int count;
    if (!list(entries, &count, deadline))
        return false;
    fleet* now = take_fleet();
    if (now == nullptr)
        return false;
    now->count = 0;
    device_slot* chosen[max_listed];
    uint32_t wanted[max_listed];
    int asked = 0;
    std::unique_lock<std::mutex> hold(table_lock);
    bool listed[max_slots] = {};
    for (int i = 0; i < count; i++) {
        // Controllers of one multipath namespace show the same device once.
        if (listed_before(entries, i))
            continue;
        device_slot* slot = find_slot(entries[i].controller);
        if (slot == nullptr && (slot = new_slot(entries[i])) == nullptr)
            continue;
        listed[slot - slots] = true;
        copy_text(slot->reading.device, sizeof slot->reading.device, entries[i].device);
        if (!slot->busy) {
            device_request request{};
            request.kind = read_request;
            request.tag = new_tag();
            copy_text(request.controller, sizeof request.controller, entries[i].controller);
            send_device_request(request);
            slot->busy = true;
            slot->asked = request.tag;
        }
        chosen[asked] = slot;
        wanted[asked++] = slot->asked;
    }
    // A controller that left forgets its history, as a new one has none.
    for (int i = 0; i < max_slots; i++)
        if (!listed[i] && !slots[i].busy)
            slots[i].used = false;
    table_changed.wait_until(hold, deadline, [&] {
        for (int i = 0; i < asked; i++)
            if (!chosen[i]->answered || !reached(chosen[i]->received, wanted[i]))
                return false;
        return true;
    });
    uint64_t waited = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          clock_type::now() - start).count();
    for (int i = 0; i < asked; i++) {
        device_slot* slot = chosen[i];
        bool in_time = slot->answered && reached(slot->received, wanted[i]);
        if (slot->answered && !slot->platform_device)
            continue;
        volume_reading* reading = &now->readings[now->count++];
        memcpy(reading, &slot->reading, sizeof *reading);
        if (in_time && slot->failing && reading->identified
            && (!reading->is_ebs || reading->has_stats)) {
            report("%s (%s): answers again", reading->device, reading->controller);
            slot->failing = false;
        }
        if (!in_time) {
            // What it said of itself before still names it; its numbers are not this scrape's.
            reading->has_stats = false;
            reading->late = true;
            reading->nanoseconds = waited;
            if (!slot->failing) {
                char reason[192];
                snprintf(reason, sizeof reason, "did not answer within %.3g s", seconds);
                report("%s (%s): %s", reading->device, reading->controller, reason);
                slot->failing = true;
                slot->timed_out = true;
                copy_text(slot->reason, sizeof slot->reason, reason);
            }
        }
    }
    hold.unlock();
    render_metrics(*now, out);
    give_back(now);
    return true;
}
