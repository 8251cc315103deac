// SPDX-License-Identifier: BSD-2-Clause
#include "fleet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <umockdev.h>
#include <unistd.h>

namespace {

struct slot {
    fleet_controller controller;
    bool attached = false;
    bool listed = false;
    int samples = 0;
    int identifies = 0;
};

UMockdevTestbed* testbed;
UMockdevIoctlBase* handler;
std::string root;
std::string shim;
std::mutex state_lock;
std::vector<slot> slots;
std::vector<std::string> violations;
std::chrono::steady_clock::time_point started;

// Admin commands answered late, by a thread of their own: umockdev's handler
// runs on the bed's one worker and must not wait.
struct late_answer {
    std::chrono::steady_clock::time_point due;
    UMockdevIoctlClient* client;
    UMockdevIoctlData* record;
    UMockdevIoctlData* buffer;
    int k;
    nvme_admin_cmd cmd;
};
std::vector<late_answer> late_answers; // under state_lock
std::condition_variable late_added;
std::thread late_thread;
bool stopping;

[[noreturn]] void fail(const char* what, GError* error)
{
    fprintf(stderr, "fleet: %s: %s\n", what, error ? error->message : strerror(errno));
    exit(2);
}

std::string controller_path(int k)
{
    char text[96];
    snprintf(text, sizeof text, "/devices/pci0000:00/0000:00:%02x.%d/nvme/nvme%d", 4 + k / 8, k % 8,
             k);
    return text;
}

std::string namespace_name(int k, bool multipath)
{
    return multipath ? "nvme" + std::to_string(40 + k) + "c" + std::to_string(k) + "n1"
                     : "nvme" + std::to_string(k) + "n1";
}

void add_devices(int k, bool multipath)
{
    std::string controller = controller_path(k);
    std::string name = "nvme" + std::to_string(k);
    std::string ns = namespace_name(k, multipath);
    std::string minor = std::to_string(k);
    std::string text = "P: " + controller + "\nN: " + name + "\nE: DEVNAME=/dev/" + name
        + "\nE: SUBSYSTEM=nvme\nE: MAJOR=241\nE: MINOR=" + minor + "\nA: dev=241:" + minor
        + "\n\n";
    // A multipath path has no /dev node; its head does, elsewhere in sysfs.
    text += "P: " + controller + "/" + ns + "\n" + (multipath ? "" : "N: " + ns + "\n")
        + "E: SUBSYSTEM=block\nE: DEVTYPE=disk\nE: MAJOR=259\nE: MINOR=" + minor + "\nA: dev=259:"
        + minor + "\nL: device=../../" + name + "\n\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error))
        fail("sysfs", error);
    if (!umockdev_testbed_attach_ioctl(testbed, ("/dev/" + name).c_str(), handler, &error))
        fail(name.c_str(), error);
}

void remove_devices(int k, bool multipath)
{
    std::string controller = controller_path(k);
    std::string name = "nvme" + std::to_string(k);
    umockdev_testbed_detach_ioctl(testbed, ("/dev/" + name).c_str(), nullptr);
    umockdev_testbed_remove_device(testbed,
                                   ("/sys" + controller + "/" + namespace_name(k, multipath)).c_str());
    umockdev_testbed_remove_device(testbed, ("/sys" + controller).c_str());
}

long kernel_result(uint16_t status) { return status >> 1; }

constexpr uint16_t invalid_field = 0x8000 | 0x02 << 1;

bool well_formed(const nvme_admin_cmd& cmd)
{
    bool common = cmd.flags == 0 && cmd.metadata == 0 && cmd.addr != 0 && cmd.data_len == 4096
        && cmd.cdw11 == 0 && cmd.cdw12 == 0 && cmd.cdw13 == 0 && cmd.cdw14 == 0 && cmd.cdw15 == 0;
    if (cmd.opcode == 0x06)
        return common && cmd.nsid == 0 && cmd.cdw10 == 1;
    if (cmd.opcode == 0x02)
        return common && cmd.nsid == 1 && cmd.cdw10 == 0x03FF00D0;
    return false;
}

// Fills the data buffer for one admin command and returns the kernel's answer.
long serve(slot& at, const nvme_admin_cmd& cmd, uint8_t* data, int* error)
{
    controller_fixture& fixture = at.controller.fixture;
    *error = 0;
    if (cmd.opcode == 0x06) {
        at.identifies++;
        if (fixture.identify_errno) {
            *error = fixture.identify_errno;
            return -1;
        }
        memcpy(data, fixture.identify.data(), page_size);
        return kernel_result(fixture.identify_status);
    }
    int sample = at.samples++;
    if (!fixture.has_stats_log)
        return kernel_result(invalid_field);
    if (fixture.log_fail_from >= 0 && sample >= fixture.log_fail_from) {
        *error = fixture.log_errno;
        return fixture.log_errno ? -1 : kernel_result(fixture.log_status);
    }
    page_bytes page;
    if (at.controller.make_page)
        page = at.controller.make_page(
            sample, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    else if (at.controller.timed)
        page = timed_stats_page(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
            at.controller.bin_offset);
    else if (fixture.live)
        page = live_stats_page(sample);
    else if (!fixture.pages.empty())
        page = fixture.pages[std::min<size_t>(sample, fixture.pages.size() - 1)];
    else
        page = page_bytes(page_size, 0);
    memcpy(data, page.data(), page_size);
    return 0;
}

// The controller leaves sysfs; requests on its node, still open, get ENODEV.
void leave_listing(int k)
{
    std::string controller = controller_path(k);
    umockdev_testbed_remove_device(
        testbed, ("/sys" + controller + "/" + namespace_name(k, slots[k].controller.multipath)).c_str());
    umockdev_testbed_remove_device(testbed, ("/sys" + controller).c_str());
    slots[k].listed = false;
}

void answer_late(late_answer& late)
{
    int errno_value;
    long result = serve(slots[late.k], late.cmd, late.buffer->data, &errno_value);
    umockdev_ioctl_client_complete(late.client, result, errno_value);
    g_object_unref(late.buffer);
    g_object_unref(late.record);
    g_object_unref(late.client);
}

void answer_late_commands()
{
    std::unique_lock<std::mutex> hold(state_lock);
    while (!stopping || !late_answers.empty()) {
        auto next = std::min_element(late_answers.begin(), late_answers.end(),
                                     [](const late_answer& a, const late_answer& b) {
                                         return a.due < b.due;
                                     });
        if (next == late_answers.end())
            late_added.wait(hold);
        else if (!stopping && next->due > std::chrono::steady_clock::now())
            late_added.wait_until(hold, next->due);
        else {
            late_answer late = *next;
            late_answers.erase(next);
            answer_late(late);
        }
    }
}

gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer)
{
    std::lock_guard<std::mutex> hold(state_lock);
    const char* devnode = umockdev_ioctl_client_get_devnode(client);
    int k = -1;
    if (sscanf(devnode, "/dev/nvme%d", &k) != 1 || k < 0 || k >= static_cast<int>(slots.size())
        || !slots[k].attached) {
        violations.push_back(std::string("request on unknown node ") + devnode);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == NVME_IOCTL_ID) { // as the kernel answers on a controller node
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    if (request != NVME_IOCTL_ADMIN_CMD) {
        violations.push_back(std::string(devnode) + ": unexpected ioctl");
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    GError* error = nullptr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* record = umockdev_ioctl_data_resolve(arg, 0, sizeof(nvme_admin_cmd), &error);
    if (record == nullptr) {
        g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    nvme_admin_cmd cmd;
    memcpy(&cmd, record->data, sizeof cmd);
    if (!well_formed(cmd)) {
        violations.push_back(std::string(devnode) + ": malformed admin command");
        umockdev_ioctl_client_complete(client, kernel_result(invalid_field), 0);
        g_object_unref(record);
        return TRUE;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        record, offsetof(nvme_admin_cmd, addr), cmd.data_len, &error);
    if (buffer == nullptr) {
        g_error_free(error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        g_object_unref(record);
        return TRUE;
    }
    if (slots[k].controller.delay_ms > 0) {
        g_object_ref(client);
        late_answers.push_back({std::chrono::steady_clock::now()
                                    + std::chrono::milliseconds(slots[k].controller.delay_ms),
                                client, record, buffer, k, cmd});
        late_added.notify_one();
        return TRUE;
    }
    int errno_value;
    long result = slots[k].listed ? serve(slots[k], cmd, buffer->data, &errno_value)
                                  : (errno_value = ENODEV, -1);
    int detach_after = slots[k].controller.detach_after_sample;
    if (slots[k].listed && cmd.opcode == 0x02 && detach_after >= 0
        && slots[k].samples == detach_after + 1)
        leave_listing(k);
    umockdev_ioctl_client_complete(client, result, errno_value);
    g_object_unref(buffer);
    g_object_unref(record);
    return TRUE;
}

} // namespace

std::string fleet_volume_id(int index)
{
    char text[32];
    snprintf(text, sizeof text, "vol-%017d", index);
    return text;
}

controller_fixture fleet_ebs_volume(int index)
{
    controller_fixture f = ebs_volume();
    std::string serial = "vol" + fleet_volume_id(index).substr(4);
    f.identify = identify_page(0x1D0F, serial, "Amazon Elastic Block Store",
                               "/dev/xvd" + std::string(1, static_cast<char>('f' + index % 20)));
    f.live = true;
    return f;
}

page_bytes timed_stats_page(double seconds, uint32_t bin_offset)
{
    stats_values v;
    auto at = [&](double per_second) { return static_cast<uint64_t>(per_second * seconds); };
    v.counters[0] = 1000000 + at(3000);
    v.counters[1] = 500000 + at(1000);
    v.counters[2] = v.counters[0] * 16384;
    v.counters[3] = v.counters[1] * 16384;
    v.counters[4] = at(3000 * 300.0);   // 300 us a read
    v.counters[5] = at(1000 * 500.0);
    v.counters[6] = at(2000);           // 2 ms of throttling a second
    v.counters[10] = 4;
    static const uint64_t bounds[] = {0, 128, 256, 512, 1024, 2048};
    static const double share[] = {0.10, 0.50, 0.30, 0.08, 0.02};
    v.read_num_bins = v.write_num_bins = 5;
    for (int i = 0; i < 5; i++) {
        v.read_bins.push_back({bounds[i], bounds[i + 1], static_cast<uint32_t>(v.counters[0] * share[i]) + (i == 1 ? bin_offset : 0)});
        v.write_bins.push_back({bounds[i], bounds[i + 1], static_cast<uint32_t>(v.counters[1] * share[i]) + (i == 1 ? bin_offset : 0)});
    }
    return stats_page(v);
}

void fleet_start(const std::vector<fleet_controller>& controllers, const char* shim_library)
{
    shim = shim_library;
    testbed = umockdev_testbed_new();
    char* dir = umockdev_testbed_get_root_dir(testbed);
    root = dir;
    g_free(dir);
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(handle_ioctl), nullptr);
    started = std::chrono::steady_clock::now();
    violations.clear();
    stopping = false;
    late_thread = std::thread(answer_late_commands);
    slots.assign(controllers.size(), slot());
    for (size_t k = 0; k < controllers.size(); k++) {
        slots[k].controller = controllers[k];
        if (controllers[k].attached)
            fleet_attach(static_cast<int>(k));
    }
}

void fleet_stop()
{
    if (testbed == nullptr)
        return;
    {
        std::lock_guard<std::mutex> hold(state_lock);
        stopping = true; // what is still late is answered now
        late_added.notify_one();
    }
    late_thread.join();
    for (size_t k = 0; k < slots.size(); k++)
        if (slots[k].attached)
            umockdev_testbed_detach_ioctl(testbed, ("/dev/nvme" + std::to_string(k)).c_str(),
                                          nullptr);
    g_object_unref(handler);
    g_object_unref(testbed);
    testbed = nullptr;
}

double fleet_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::string fleet_root() { return root; }

void fleet_set(int index, const fleet_controller& controller)
{
    std::lock_guard<std::mutex> hold(state_lock);
    slots[index].controller = controller;
    slots[index].samples = 0;
    slots[index].identifies = 0;
}

void fleet_set_delay(int index, int delay_ms)
{
    std::lock_guard<std::mutex> hold(state_lock);
    slots[index].controller.delay_ms = delay_ms;
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms);
    for (late_answer& late : late_answers)
        if (late.k == index && late.due > due)
            late.due = due;
    late_added.notify_one();
}

int fleet_pending(int index)
{
    std::lock_guard<std::mutex> hold(state_lock);
    return static_cast<int>(std::count_if(late_answers.begin(), late_answers.end(),
                                          [&](const late_answer& late) { return late.k == index; }));
}

void fleet_detach(int index)
{
    std::lock_guard<std::mutex> hold(state_lock);
    if (slots[index].listed)
        remove_devices(index, slots[index].controller.multipath);
    slots[index].attached = false;
    slots[index].listed = false;
}

void fleet_attach(int index)
{
    std::lock_guard<std::mutex> hold(state_lock);
    add_devices(index, slots[index].controller.multipath);
    slots[index].attached = true;
    slots[index].listed = true;
    slots[index].samples = 0;
    slots[index].identifies = 0;
}

int fleet_samples(int index)
{
    std::lock_guard<std::mutex> hold(state_lock);
    return slots[index].samples;
}

int fleet_identifies(int index)
{
    std::lock_guard<std::mutex> hold(state_lock);
    return slots[index].identifies;
}

std::vector<std::string> fleet_violations()
{
    std::lock_guard<std::mutex> hold(state_lock);
    return violations;
}

fleet_process fleet_spawn(const std::string& program, const std::vector<std::string>& argv,
                          const std::vector<std::string>& more_env)
{
    std::vector<std::string> env = {
        "PATH=/usr/local/bin:/usr/bin:/bin",
        "UMOCKDEV_DIR=" + root,
        "LD_PRELOAD=" + shim + ":libumockdev-preload.so.0",
        "ASAN_OPTIONS=verify_asan_link_order=0",
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1",
    };
    for (const char* keep : {"HOME", "TMPDIR"})
        if (const char* value = getenv(keep))
            env.push_back(std::string(keep) + "=" + value);
    env.insert(env.end(), more_env.begin(), more_env.end());
    std::vector<char*> args = c_strings(argv);
    std::vector<char*> envp = c_strings(env);

    fleet_process process;
    char out_name[] = "/tmp/fleet-out-XXXXXX";
    char err_name[] = "/tmp/fleet-err-XXXXXX";
    process.out = mkstemp(out_name);
    process.err = mkstemp(err_name);
    if (process.out < 0 || process.err < 0)
        fail("mkstemp", nullptr);
    unlink(out_name);
    unlink(err_name);
    process.pid = fork();
    if (process.pid < 0)
        fail("fork", nullptr);
    if (process.pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(process.out, 1);
        dup2(process.err, 2);
        execve(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    return process;
}

run_result fleet_finish(fleet_process& process, int signal_number, struct rusage* usage)
{
    if (signal_number)
        kill(process.pid, signal_number);
    int status;
    struct rusage used;
    while (wait4(process.pid, &status, 0, &used) < 0 && errno == EINTR) {
    }
    if (usage)
        *usage = used;
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_all(process.out);
    result.err = read_all(process.err);
    close(process.out);
    close(process.err);
    process = fleet_process();
    return result;
}

run_result fleet_run(const std::string& program, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env)
{
    fleet_process process = fleet_spawn(program, argv, env);
    return fleet_finish(process, 0);
}

fleet_scope::fleet_scope(const std::vector<fleet_controller>& controllers)
{
    fleet_start(controllers, BED_SHIM);
}

fleet_scope::~fleet_scope()
{
    EXPECT_EQ(fleet_violations(), std::vector<std::string>());
    fleet_stop();
}
