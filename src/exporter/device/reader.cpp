// SPDX-License-Identifier: BSD-2-Clause
// The device side's reading of one controller: the only exporter code that
// sends a device a request (through the driver).
#include "exporter/device/reader.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "exporter/sandbox.h"
#include "identity/identity.h"
#include "nvme/discovery.h"
#include "stats/interval.h"
#include "stats/log_page.h"

static void fail(read_answer* answer, read_step step, admin_outcome outcome)
{
    answer->failed_step = step;
    answer->failure = outcome == admin_outcome::completion_error ? read_failure::completion
                                                                 : read_failure::request;
    answer->error = outcome == admin_outcome::completion_error ? 0 : errno;
}

// Opens the node of a listed controller, narrows its rights to reading it and
// the driver's two requests, and only then checks that it is still that
// controller: nothing is asked of a node with more. -1 with errno set.
static int open_node(const char* name)
{
    int descriptor = open_listed_node(name);
    if (descriptor < 0)
        return -1;
    if (limit_node(descriptor) && is_controller_node(descriptor, name))
        return descriptor;
    int cause = errno;
    close(descriptor);
    errno = cause;
    return -1;
}

static void read_statistics(int descriptor, read_answer* answer)
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
    uint64_t start = monotonic_nanoseconds();
    int descriptor = open_node(request.controller);
    if (descriptor < 0)
        fail(answer, read_step::open, admin_outcome::request_failed);
    else {
        static thread_local identify_controller_data identify;
        admin_outcome outcome = identify_controller(descriptor, &identify);
        if (outcome != admin_outcome::success)
            fail(answer, read_step::identify, outcome);
        else {
            device_kind kind = controller_kind(identify);
            if (kind == device_kind::other_vendor || kind == device_kind::other_model)
                answer->platform_device = 0;
            else if (kind == device_kind::no_memory
                     || !fill_volume_identity(identify, &answer->identity))
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
