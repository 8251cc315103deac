// SPDX-License-Identifier: BSD-2-Clause
// The metrics side of a scrape. Requests go to the device side, whose workers
// read the controllers in parallel; one thread here takes every answer into a
// table that outlives scrapes, carrying the running totals. A scrape asks each
// listed controller that is not still busy with an earlier request, waits
// until its deadline, and renders what the table holds for the controllers
// that answered. Scrapes at once share the requests out, and the totals only
// move forward under the table's lock, so no scraper sees one go back.
#include "exporter/scrape.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "exporter/device_link.h"
#include "exporter/records.h"
#include "exporter/readings.h"
#include "exporter/log.h"
#include "exporter/metrics.h"
#include "stats/interval.h"

namespace {

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
    controller_reading reading;
};

// Controllers that are gone keep their slot while a read of theirs is out.
constexpr int max_slots = 2 * max_controllers;
device_slot slots[max_slots];

pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t table_changed; // on the monotonic clock, made by start_scrapes
uint32_t last_tag;

// One list request is out at a time: a scrape that finds one out waits on
// table_changed, by its own deadline, for it to come back.
bool listing_out;
list_answer latest_list;
uint32_t list_received;

// Tags wrap; an answer is new enough when it is not before the one wanted.
bool tag_reached(uint32_t tag, uint32_t wanted)
{
    return static_cast<int32_t>(tag - wanted) >= 0;
}

uint32_t new_tag()
{
    return ++last_tag == 0 ? ++last_tag : last_tag;
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
            memset(&slot.reading, 0, offsetof(controller_reading, page));
            slot.used = true;
            copy_field(slot.reading.controller, sizeof slot.reading.controller, entry.controller);
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
    const controller_reading& reading = slot->reading;
    if (!slot->failing || slot->timed_out || strcmp(slot->reason, reason) != 0) {
        log_message("%s (%s): %s", reading.device, reading.controller, reason);
        copy_field(slot->reason, sizeof slot->reason, reason);
    }
    slot->failing = true;
    slot->timed_out = false;
}

void take_answer(const read_answer& answer, size_t size)
{
    device_slot* slot = find_slot(answer.controller);
    if (slot == nullptr || !slot->busy || slot->asked != answer.tag)
        return;
    static controller_reading next;
    memset(&next, 0, offsetof(controller_reading, page));
    copy_field(next.controller, sizeof next.controller, slot->reading.controller);
    copy_field(next.device, sizeof next.device, slot->reading.device);
    bool stats = answer.kind == read_answer_kind && answer.has_stats && size == sizeof answer;
    if (answer.kind == read_answer_kind) {
        next.identified = answer.identified;
        next.is_ebs = answer.is_ebs;
        const volume_identity& told = answer.identity;
        copy_field(next.identity.volume_id, sizeof next.identity.volume_id, told.volume_id);
        copy_field(next.identity.serial, sizeof next.identity.serial, told.serial);
        copy_field(next.identity.model, sizeof next.identity.model, told.model);
        copy_field(next.identity.block_device, sizeof next.identity.block_device,
                   told.block_device);
        next.nanoseconds = answer.nanoseconds;
    }
    const controller_reading* previous = slot->answered ? &slot->reading : nullptr;
    if (is_identified_volume(next)) {
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

timespec monotonic_time(uint64_t nanoseconds)
{
    return timespec{static_cast<time_t>(nanoseconds / 1000000000u),
                    static_cast<long>(nanoseconds % 1000000000u)};
}

void* take_answers(void*)
{
    static device_answer answer;
    for (;;) {
        size_t size = receive_device_answer(&answer, sizeof answer);
        if (size == 0)
            return nullptr;
        take_device_answer(answer, size);
    }
}

// Waits with table_lock held until the table changes or the deadline passes;
// false at the deadline.
bool wait_for_change(const timespec& deadline)
{
    return pthread_cond_timedwait(&table_changed, &table_lock, &deadline) != ETIMEDOUT;
}

// The controllers of the machine now, from the device side, by the deadline.
// Requests leave with table_lock released: the thread that takes the answers
// needs it, and the device side may wait for that thread to take one before
// it reads the next request.
bool list_by_deadline(listed_controller* entries, int* count, const timespec& deadline)
{
    pthread_mutex_lock(&table_lock);
    bool turn = true;
    while (listing_out && (turn = wait_for_change(deadline))) {
    }
    bool answered = false;
    if (turn) {
        listing_out = true;
        device_request request{};
        request.kind = list_request;
        request.tag = new_tag();
        pthread_mutex_unlock(&table_lock);
        bool sent = send_device_request(request, deadline);
        pthread_mutex_lock(&table_lock);
        while (sent && !(answered = list_received == request.tag) && wait_for_change(deadline)) {
        }
        // A late answer is taken, and dropped, by the answers' thread.
        listing_out = false;
        pthread_cond_broadcast(&table_changed);
    }
    int cause = latest_list.error;
    if (answered && latest_list.count >= 0) {
        *count = latest_list.count < max_controllers ? latest_list.count : max_controllers;
        memcpy(entries, latest_list.controllers, *count * sizeof entries[0]);
    }
    bool listed = answered && latest_list.count >= 0;
    pthread_mutex_unlock(&table_lock);
    if (!listed)
        errno = answered ? cause : ETIMEDOUT;
    return listed;
}

pthread_t answer_taker;
bool answer_taker_started;

// What the log said last of the devices found (under table_lock): the first
// scrape tells it, and later ones when it changes, so that an exporter that
// finds nothing, with the host's /dev not in its container for one, says so.
bool counts_told;
device_counts told_counts;

void tell_counts(const scrape_readings& readings)
{
    device_counts counts = count_devices(readings);
    if (counts_told && counts.volumes == told_counts.volumes && counts.disks == told_counts.disks)
        return;
    log_message("found %d volume%s, %d instance-storage disk%s", counts.volumes,
                counts.volumes == 1 ? "" : "s", counts.disks, counts.disks == 1 ? "" : "s");
    counts_told = true;
    told_counts = counts;
}

// Rooms of the scrapes at once, kept for the next ones: connections come and
// go on threads of their own, and memory taken on each would scatter.
pthread_mutex_t spare_lock = PTHREAD_MUTEX_INITIALIZER;
scrape_room* spare[64];
int spares;

// Whether a name ends within its field and holds only printable ASCII, which
// the page shows as it is.
bool plain_name(const char* name, size_t size)
{
    size_t length = strnlen(name, size);
    for (size_t k = 0; k < length; k++)
        if (static_cast<unsigned char>(name[k]) < 0x20 || static_cast<unsigned char>(name[k]) > 0x7E)
            return false;
    return length < size;
}

// The device side lists each controller, and each device, once, by the names
// the system gave them. An entry that names one again is left out, and so is
// one whose names do not end or hold a byte that the page would show as '?'
// (like another's): the page would show a series twice, which Prometheus
// refuses whole.
bool left_out(const listed_controller* entries, int i)
{
    const listed_controller& entry = entries[i];
    if (!plain_name(entry.controller, sizeof entry.controller)
        || !plain_name(entry.device, sizeof entry.device))
        return true;
    for (int k = 0; k < i; k++)
        if (strncmp(entries[k].controller, entry.controller, sizeof entry.controller) == 0
            || strncmp(entries[k].device, entry.device, sizeof entry.device) == 0)
            return true;
    return false;
}

// Every listed controller's answer to the request wanted of it is in.
bool all_answered(device_slot* const* chosen, const uint32_t* wanted, int asked)
{
    for (int i = 0; i < asked; i++)
        if (!chosen[i]->answered || !tag_reached(chosen[i]->received, wanted[i]))
            return false;
    return true;
}

} // namespace

void take_device_answer(const device_answer& answer, size_t size)
{
    pthread_mutex_lock(&table_lock);
    if (answer.list.kind == list_answer_kind && size == sizeof answer.list) {
        memcpy(&latest_list, &answer.list, sizeof latest_list);
        list_received = answer.list.tag;
    } else if (answer.read.kind != list_answer_kind && size >= offsetof(read_answer, page))
        take_answer(answer.read, size);
    pthread_cond_broadcast(&table_changed);
    pthread_mutex_unlock(&table_lock);
}

bool start_scrapes()
{
    pthread_condattr_t monotonic;
    if (pthread_condattr_init(&monotonic) != 0
        || pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC) != 0
        || pthread_cond_init(&table_changed, &monotonic) != 0
        || pthread_create(&answer_taker, nullptr, take_answers, nullptr) != 0) {
        log_message("cannot start the thread that takes the device side's answers");
        return false;
    }
    pthread_condattr_destroy(&monotonic);
    answer_taker_started = true;
    return true;
}

void stop_scrapes()
{
    stop_device_side();
    if (answer_taker_started)
        pthread_join(answer_taker, nullptr);
}

scrape_room* take_scrape_room()
{
    pthread_mutex_lock(&spare_lock);
    scrape_room* room = spares > 0 ? spare[--spares] : nullptr;
    pthread_mutex_unlock(&spare_lock);
    return room ? room : static_cast<scrape_room*>(calloc(1, sizeof(scrape_room)));
}

void give_scrape_room(scrape_room* room)
{
    pthread_mutex_lock(&spare_lock);
    bool kept = spares < static_cast<int>(sizeof spare / sizeof spare[0]);
    if (kept)
        spare[spares++] = room;
    pthread_mutex_unlock(&spare_lock);
    if (!kept) {
        free_text(&room->page);
        free_text(&room->packed);
        free(room);
    }
}

bool scrape(scrape_readings* now, double seconds)
{
    uint64_t start = monotonic_nanoseconds();
    timespec deadline = monotonic_time(start + static_cast<uint64_t>(seconds * 1e9));
    listed_controller entries[max_controllers];
    int count;
    if (!list_by_deadline(entries, &count, deadline))
        return false;
    now->count = 0;
    device_slot* chosen[max_controllers];
    const char* names[max_controllers]; // the controller each was chosen for
    uint32_t wanted[max_controllers];
    int asked = 0;
    device_request requests[max_controllers];
    int to_send = 0;
    pthread_mutex_lock(&table_lock);
    bool listed[max_slots] = {};
    for (int i = 0; i < count; i++) {
        if (left_out(entries, i))
            continue;
        device_slot* slot = find_slot(entries[i].controller);
        if (slot == nullptr && (slot = new_slot(entries[i])) == nullptr)
            continue;
        listed[slot - slots] = true;
        copy_field(slot->reading.device, sizeof slot->reading.device, entries[i].device);
        if (!slot->busy) {
            device_request& request = requests[to_send++];
            memset(&request, 0, sizeof request);
            request.kind = read_request;
            request.tag = new_tag();
            copy_field(request.controller, sizeof request.controller, entries[i].controller);
            slot->busy = true;
            slot->asked = request.tag;
        }
        chosen[asked] = slot;
        names[asked] = entries[i].controller;
        wanted[asked++] = slot->asked;
    }
    // A controller that left forgets its history, as a new one has none.
    for (int i = 0; i < max_slots; i++)
        if (!listed[i] && !slots[i].busy)
            slots[i].used = false;
    pthread_mutex_unlock(&table_lock);
    int sent = 0;
    while (sent < to_send && send_device_request(requests[sent], deadline))
        sent++;
    pthread_mutex_lock(&table_lock);
    // What could not leave by the deadline was never out: another scrape may ask.
    for (int i = sent; i < to_send; i++) {
        device_slot* slot = find_slot(requests[i].controller);
        if (slot != nullptr && slot->busy && slot->asked == requests[i].tag)
            slot->busy = false;
    }
    while (!all_answered(chosen, wanted, asked) && wait_for_change(deadline)) {
    }
    uint64_t waited = monotonic_nanoseconds() - start;
    for (int i = 0; i < asked; i++) {
        device_slot* slot = chosen[i];
        // A scrape at once that saw the controller leave may have let its slot go.
        if (!slot->used || strcmp(slot->reading.controller, names[i]) != 0)
            continue;
        bool in_time = slot->answered && tag_reached(slot->received, wanted[i]);
        if (slot->answered && !slot->platform_device)
            continue;
        controller_reading* reading = &now->readings[now->count++];
        memcpy(reading, &slot->reading, sizeof *reading);
        if (in_time && slot->failing && reading->identified
            && (!reading->is_ebs || reading->has_stats)) {
            log_message("%s (%s): answers again", reading->device, reading->controller);
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
                log_message("%s (%s): %s", reading->device, reading->controller, reason);
                slot->failing = true;
                slot->timed_out = true;
                copy_field(slot->reason, sizeof slot->reason, reason);
            }
        }
    }
    tell_counts(*now);
    pthread_mutex_unlock(&table_lock);
    return true;
}
