// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/scrape.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "exporter/fleet.h"
#include "exporter/metrics.h"
#include "identity/identity.h"
#include "nvme/driver.h"
#include "nvme/identify.h"

// This scrape's readings and the one before, taking turns.
static fleet fleets[2];
static int newest;

static uint64_t now_nanoseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

static const volume_reading* find_reading(const fleet& readings, const char* controller)
{
    for (int i = 0; i < readings.count; i++)
        if (strcmp(readings.readings[i].controller, controller) == 0)
            return &readings.readings[i];
    return nullptr;
}

// Copies what fits; the device's fields fit the reading's arrays.
static void copy_text(char* to, size_t size, const char* from)
{
    size_t length = strnlen(from, size - 1);
    memcpy(to, from, length);
    to[length] = '\0';
}

// Fills in the identity of an accepted controller; false when memory ran out.
static bool read_identity(const identify_controller_data& data, volume_reading* reading)
{
    identity_fields fields;
    if (!read_identity_fields(data, &fields))
        return false;
    copy_text(reading->serial, sizeof reading->serial, fields.serial);
    copy_text(reading->model, sizeof reading->model, fields.model);
    copy_text(reading->block_device, sizeof reading->block_device, bdev_name(fields.bdev));
    char id[volume_id_size];
    volume_id(fields.serial, id);
    copy_text(reading->volume_id, sizeof reading->volume_id, id);
    free_identity_fields(&fields);
    return true;
}

// Reads one controller. Returns false for a controller that is not one of the
// platform's devices, which the page leaves out.
static bool read_controller(const controller_entry& entry, const volume_reading* previous,
                            volume_reading* reading)
{
    static identify_controller_data identify;
    static ebs_stats_log page;
    memset(reading, 0, offsetof(volume_reading, page));
    copy_text(reading->controller, sizeof reading->controller, entry.controller);
    copy_text(reading->device, sizeof reading->device, entry.device);
    char path[8 + sizeof entry.controller];
    snprintf(path, sizeof path, "/dev/%.*s", static_cast<int>(sizeof entry.controller),
             entry.controller);
    uint64_t start = now_nanoseconds();
    int descriptor = open(path, O_RDONLY);
    bool platform_device = true;
    if (descriptor >= 0 && identify_controller(descriptor, &identify) == admin_outcome::success) {
        device_kind kind = controller_kind(identify);
        switch (kind) {
        case device_kind::other_vendor:
        case device_kind::other_model:
            platform_device = false;
            break;
        case device_kind::no_memory:
            break;
        case device_kind::ebs_volume:
        case device_kind::instance_storage:
            reading->is_ebs = kind == device_kind::ebs_volume;
            reading->identified = read_identity(identify, reading);
            break;
        }
    }
    if (reading->identified && reading->is_ebs) {
        if (fetch_stats_log(descriptor, &page) == stats_outcome::success)
            carry_totals(reading, page, previous);
        else
            keep_totals(reading, previous);
    }
    if (descriptor >= 0)
        close(descriptor);
    reading->nanoseconds = now_nanoseconds() - start;
    return platform_device;
}

static bool device_taken(const fleet& readings, const char* device)
{
    for (int i = 0; i < readings.count; i++)
        if (strcmp(readings.readings[i].device, device) == 0)
            return true;
    return false;
}

bool scrape(text_buffer* out)
{
    static controller_entry entries[max_controllers];
    int count = list_controllers(entries, max_controllers);
    if (count < 0)
        return false;
    const fleet& before = fleets[newest];
    newest = 1 - newest;
    fleet& now = fleets[newest];
    now.count = 0;
    for (int i = 0; i < count; i++) {
        // Controllers of one multipath namespace show the same device once.
        if (device_taken(now, entries[i].device))
            continue;
        volume_reading* reading = &now.readings[now.count];
        if (read_controller(entries[i], find_reading(before, entries[i].controller), reading))
            now.count++;
    }
    render_metrics(now, out);
    return true;
}
