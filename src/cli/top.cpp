// SPDX-License-Identifier: BSD-2-Clause
#include "cli/top.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "cli/device.h"
#include "cli/diag.h"
#include "cli/options.h"
#include "cli/top_render.h"
#include "identity/identity.h"
#include "nvme/discovery.h"
#include "nvme/driver.h"
#include "nvme/identify.h"
#include "nvme/trim_field.h"
#include "stats/interval.h"
#include "stats/poll.h"

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

struct volume_slot {
    bool used;
    char controller[32]; // the listed controller; empty for an operand
    int descriptor;
    bool has_baseline;
    uint64_t baseline_at; // monotonic nanoseconds
    ebs_stats_log baseline;
    ebs_stats_log sample;
    bool shown;           // has a row in this interval's report
    int rank;             // the place of its operand, or of its controller in the listing
    top_row row;
};

volume_slot slots[max_controllers];
// Listed controllers that are not EBS volumes, so as not to identify them again.
char ignored[max_controllers][32];
int ignored_count;

volatile sig_atomic_t stop_requested;
volatile sig_atomic_t resized;
sigset_t wait_mask; // the signal mask while waiting: the stop signals let in
bool terminal;
bool keyboard;
termios saved_terminal;
int terminal_width; // 0 when the terminal does not say

void note_stop(int) { stop_requested = 1; }

void note_resize(int) { resized = 1; }

// Ctrl+C, a hang-up or a termination ends the run as q does; a signal
// ignored from the start (a background job's Ctrl+C) stays ignored. The
// signals stay blocked except while waiting, so that none is lost between the
// check and the wait.
void catch_stop_signals()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = note_stop;
    sigemptyset(&action.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal_number : stop_signals) {
        struct sigaction before;
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
        sigaddset(&blocked, signal_number);
    }
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    for (int signal_number : stop_signals)
        sigdelset(&wait_mask, signal_number);
}

void restore_terminal()
{
    fputs("\033[?25h\033[?7h", stdout);
    fflush(stdout);
    if (keyboard)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
}

int read_terminal_width()
{
    winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

// SIGWINCH, like the stop signals, gets in only while waiting.
void follow_resizes()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = note_resize;
    sigemptyset(&action.sa_mask);
    sigaction(SIGWINCH, &action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGWINCH);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    sigdelset(&wait_mask, SIGWINCH);
}

// A cleared screen without a cursor, lines cut at its edge rather than
// wrapped (a wrapped line would push the redrawn screen down), and keys read
// one by one without echo; everything is put back at exit, whatever the
// status, and the last screen stays in view. The table follows the
// terminal's width.
void enter_terminal()
{
    keyboard = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_terminal) == 0;
    if (keyboard) {
        termios raw = saved_terminal;
        raw.c_lflag &= ~(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
    }
    atexit(restore_terminal);
    follow_resizes();
    terminal_width = read_terminal_width();
    fputs("\033[?25l\033[?7l\033[H\033[2J", stdout);
    fflush(stdout);
}

void redraw();

// False when the run is to end: q, or a stop signal. A resized terminal gets
// the last report again at once, to its new width.
bool wait_until(uint64_t deadline)
{
    for (;;) {
        if (stop_requested)
            return false;
        if (resized) {
            resized = 0;
            terminal_width = read_terminal_width();
            redraw();
        }
        uint64_t now = monotonic_nanoseconds();
        if (now >= deadline)
            return true;
        uint64_t left = deadline - now;
        timespec timeout = {static_cast<time_t>(left / 1000000000u),
                            static_cast<long>(left % 1000000000u)};
        pollfd key = {STDIN_FILENO, POLLIN, 0};
        int ready = ppoll(&key, keyboard ? 1 : 0, &timeout, &wait_mask);
        if (ready > 0 && (key.revents & POLLIN)) {
            char c;
            ssize_t got = read(STDIN_FILENO, &c, 1);
            if (got == 1 && (c == 'q' || c == 'Q'))
                return false;
            if (got == 0)
                keyboard = false;
        } else if (ready > 0) {
            keyboard = false; // the terminal hung up: the signal follows
        }
    }
}

volume_slot* free_slot()
{
    for (volume_slot& slot : slots)
        if (!slot.used)
            return &slot;
    return nullptr;
}

void take_slot(volume_slot* slot, int descriptor, const char* device,
               const identify_controller_data& identify)
{
    memset(&slot->row, 0, sizeof slot->row);
    slot->used = true;
    slot->descriptor = descriptor;
    slot->has_baseline = false;
    copy_field(slot->row.device, sizeof slot->row.device, device);
    if (!fill_volume_identity(identify, &slot->row.identity))
        fatal("malloc");
}

// Each operand as id and stats take it, with their diagnostics; an
// instance-storage disk has no statistics to show.
void open_operands()
{
    static identify_controller_data identify;
    if (settings.operand_count > max_controllers)
        fatalx("too many devices: at most %d", max_controllers);
    for (int i = 0; i < settings.operand_count; i++) {
        const char* device_name = strip_dev_prefix(settings.operands[i]);
        int descriptor = open_platform_device(device_name, &identify);
        if (controller_kind(identify) != device_kind::ebs_volume)
            fatalx("Not an EBS device: %s", device_name);
        take_slot(&slots[i], descriptor, device_name, identify);
        slots[i].rank = i;
    }
}

bool is_ignored(const char* controller)
{
    for (int i = 0; i < ignored_count; i++)
        if (strcmp(ignored[i], controller) == 0)
            return true;
    return false;
}

// A newly listed controller: its slot when it is an EBS volume.
volume_slot* consider(const controller_entry& entry, char (*still_ignored)[32], int* still_count)
{
    static identify_controller_data identify;
    if (is_ignored(entry.controller)) {
        copy_field(still_ignored[(*still_count)++], 32, entry.controller);
        return nullptr;
    }
    volume_slot* slot = free_slot();
    if (slot == nullptr)
        return nullptr;
    controller_probe probe = probe_controller(entry.controller, &identify);
    if (probe.descriptor < 0)
        return nullptr; // gone already, or not ours to read: seen again at the next listing
    int descriptor = probe.descriptor;
    bool identified = probe.identify == admin_outcome::success;
    device_kind kind = identified ? controller_kind(identify) : device_kind::no_memory;
    if (kind == device_kind::ebs_volume) {
        take_slot(slot, descriptor, entry.device, identify);
        copy_field(slot->controller, sizeof slot->controller, entry.controller);
        return slot;
    }
    close(descriptor);
    // A controller that could not be identified now is asked again next time.
    if (identified && kind != device_kind::no_memory)
        copy_field(still_ignored[(*still_count)++], 32, entry.controller);
    return nullptr;
}

// The machine's EBS volumes, one per namespace or multipath head, as the
// exporter finds them: a volume that left is dropped, a new one joins.
void refresh_listing()
{
    static controller_entry entries[max_controllers];
    static char still_ignored[max_controllers][32];
    int count = list_devices(entries, max_controllers);
    if (count < 0)
        return; // the listing failed this time: keep the volumes known
    for (volume_slot& slot : slots) {
        if (!slot.used)
            continue;
        bool listed = false;
        for (int i = 0; i < count && !listed; i++)
            listed = strcmp(entries[i].controller, slot.controller) == 0;
        if (!listed) {
            close(slot.descriptor);
            slot.used = false;
        }
    }
    int still_count = 0;
    for (int i = 0; i < count; i++) {
        volume_slot* known = nullptr;
        for (volume_slot& slot : slots)
            if (slot.used && strcmp(slot.controller, entries[i].controller) == 0)
                known = &slot;
        if (!known)
            known = consider(entries[i], still_ignored, &still_count);
        if (known)
            known->rank = i;
    }
    memcpy(ignored, still_ignored, sizeof ignored);
    ignored_count = still_count;
}

void describe_failure(stats_outcome outcome, char (&failure)[128])
{
    switch (outcome) {
    case stats_outcome::request_failed:
        snprintf(failure, sizeof failure, "NVME_OPC_GET_LOG_PAGE failed: %s", strerror(errno));
        break;
    case stats_outcome::completion_error:
        snprintf(failure, sizeof failure, "log page request returned error");
        break;
    default:
        snprintf(failure, sizeof failure, "Not an EBS device");
        break;
    }
}

// One sample of a volume: its row for the interval just ended, if it has one.
void sample_volume(volume_slot* slot)
{
    top_row* row = &slot->row;
    stats_outcome outcome = fetch_stats_log(slot->descriptor, &slot->sample);
    slot->shown = slot->has_baseline || outcome != stats_outcome::success;
    if (outcome != stats_outcome::success) {
        row->state = row_state::failed;
        describe_failure(outcome, row->failure);
        return;
    }
    uint64_t at = monotonic_nanoseconds();
    if (slot->has_baseline && counters_went_back(slot->sample, slot->baseline)) {
        row->state = row_state::restarted;
    } else if (slot->has_baseline) {
        row->state = row_state::measured;
        stats_delta(slot->sample, slot->baseline, &row->delta);
        uint64_t elapsed = at > slot->baseline_at ? at - slot->baseline_at : 1;
        compute_interval(row->delta, static_cast<double>(elapsed) / 1e9, &row->rates);
    }
    memcpy(&slot->baseline, &slot->sample, sizeof slot->baseline);
    slot->baseline_at = at;
    slot->has_baseline = true;
}

void sample_all()
{
    if (settings.operand_count == 0)
        refresh_listing();
    for (volume_slot& slot : slots) {
        slot.shown = false;
        if (slot.used)
            sample_volume(&slot);
    }
}

// The last report, kept for a redraw; its rows stay as they are until the
// next sample.
top_report last_report;

void print_report(const top_report& report)
{
    if (settings.json_output)
        print_top_json(report);
    else
        print_top_text(report);
    check_stdout();
}

void redraw()
{
    if (last_report.rows == nullptr)
        return;
    last_report.width = terminal_width;
    print_report(last_report);
}

void report(uint64_t seconds_nanoseconds, const timespec& wall)
{
    static const volume_slot* shown[max_controllers];
    static const top_row* rows[max_controllers];
    int count = 0;
    for (const volume_slot& slot : slots)
        if (slot.used && slot.shown)
            shown[count++] = &slot;
    // A slot freed by a volume that left may go to one listed earlier.
    for (int i = 1; i < count; i++)
        for (int j = i; j > 0 && shown[j - 1]->rank > shown[j]->rank; j--) {
            const volume_slot* swap = shown[j];
            shown[j] = shown[j - 1];
            shown[j - 1] = swap;
        }
    for (int i = 0; i < count; i++)
        rows[i] = &shown[i]->row;
    if (terminal)
        order_by_activity(rows, count);
    last_report = {static_cast<int64_t>(wall.tv_sec), wall.tv_nsec,
                   static_cast<double>(seconds_nanoseconds) / 1e9, rows, count, terminal,
                   settings.operand_count == 1, terminal_width};
    print_report(last_report);
}

bool any_volume()
{
    for (const volume_slot& slot : slots)
        if (slot.used)
            return true;
    return false;
}

} // namespace

void run_top()
{
    if (settings.operand_count > 0)
        open_operands();
    else
        refresh_listing();
    if (!any_volume())
        fatalx("no EBS volume on this machine");
    catch_stop_signals();
    terminal = !settings.json_output && isatty(STDOUT_FILENO);
    if (terminal)
        enter_terminal();

    uint64_t interval = settings.interval * 1000000000u;
    uint64_t previous = monotonic_nanoseconds();
    sample_all();
    uint64_t deadline = previous + interval;
    for (uint64_t reports = 0; settings.count == 0 || reports < settings.count; reports++) {
        if (!wait_until(deadline))
            break;
        timespec wall;
        clock_gettime(CLOCK_REALTIME, &wall);
        uint64_t now = monotonic_nanoseconds();
        sample_all();
        report(now - previous, wall);
        previous = now;
        // A late pass does not crowd the next one.
        deadline = deadline + interval > now ? deadline + interval : now + interval;
    }
    exit(0);
}
