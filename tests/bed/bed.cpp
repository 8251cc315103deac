// SPDX-License-Identifier: BSD-2-Clause
#include "bed.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

namespace {

enum class player { primary, other };

struct node {
    const char* name;    // under /dev
    player plays;
    uint32_t nsid;       // 0: a controller node
};

// Every emulated node with an ioctl handler.
node nodes[] = {
    {"nvme0", player::primary, 0},   {"nvme0n1", player::primary, 1},
    {"ng0n1", player::primary, 1},   {"nvme3", player::primary, 0},
    {"nvme12", player::other, 0},    {"nvme3n1", player::primary, 1},
    {"nvme95n1", player::primary, 1}, {"nvme97n1", player::primary, 1},
};

const char sysfs_description[] =
    "P: /devices/pci0000:00/0000:00:1f.0/nvme/nvme0\nN: nvme0\nE: DEVNAME=/dev/nvme0\nE: SUBSYSTEM=nvme\n"
    "E: MAJOR=241\nE: MINOR=0\nA: dev=241:0\n\n"
    "P: /devices/pci0000:00/0000:00:1f.0/nvme/nvme0/nvme0n1\nN: nvme0n1\nE: DEVNAME=/dev/nvme0n1\nE: SUBSYSTEM=block\n"
    "E: DEVTYPE=disk\nE: MAJOR=259\nE: MINOR=0\nA: dev=259:0\nL: device=../../nvme0\n\n"
    "P: /devices/pci0000:00/0000:00:1f.0/nvme/nvme0/ng0n1\nN: ng0n1\nE: DEVNAME=/dev/ng0n1\nE: SUBSYSTEM=nvme-generic\n"
    "E: MAJOR=240\nE: MINOR=0\nA: dev=240:0\nL: device=../../nvme0\n\n"
    "P: /devices/pci0000:00/0000:00:1b.0/nvme/nvme3\nN: nvme3\nE: DEVNAME=/dev/nvme3\nE: SUBSYSTEM=nvme\n"
    "E: MAJOR=241\nE: MINOR=3\nA: dev=241:3\n\n"
    "P: /devices/pci0000:00/0000:00:1c.0/nvme/nvme12\nN: nvme12\nE: DEVNAME=/dev/nvme12\nE: SUBSYSTEM=nvme\n"
    "E: MAJOR=241\nE: MINOR=12\nA: dev=241:12\n\n"
    "P: /devices/virtual/nvme-subsystem/nvme-subsys3\nE: SUBSYSTEM=nvme-subsystem\n"
    "L: nvme12=../../../pci0000:00/0000:00:1c.0/nvme/nvme12\n"
    "L: nvme3=../../../pci0000:00/0000:00:1b.0/nvme/nvme3\n\n"
    "P: /devices/virtual/nvme-subsystem/nvme-subsys3/nvme3n1\nN: nvme3n1\nE: DEVNAME=/dev/nvme3n1\nE: SUBSYSTEM=block\n"
    "E: DEVTYPE=disk\nE: MAJOR=259\nE: MINOR=3\nA: dev=259:3\nL: device=../../nvme-subsys3\n\n"
    "P: /devices/virtual/block/nvme95n1\nN: nvme95n1\nE: DEVNAME=/dev/nvme95n1\nE: SUBSYSTEM=block\n"
    "E: DEVTYPE=disk\nE: MAJOR=259\nE: MINOR=95\nA: dev=259:95\n\n"
    "P: /devices/pci0000:00/0000:00:1d.0/nvme/nvme97\nE: SUBSYSTEM=nvme\nA: dev=241:97\n\n"
    "P: /devices/pci0000:00/0000:00:1d.0/nvme/nvme97/nvme97n1\nN: nvme97n1\nE: DEVNAME=/dev/nvme97n1\nE: SUBSYSTEM=block\n"
    "E: DEVTYPE=disk\nE: MAJOR=259\nE: MINOR=97\nA: dev=259:97\nL: device=../../nvme97\n\n";

// umockdev files block devices under /sys/dev/char; the kernel has them here.
const char* block_numbers[][2] = {
    {"259:0", "../../devices/pci0000:00/0000:00:1f.0/nvme/nvme0/nvme0n1"},
    {"259:3", "../../devices/virtual/nvme-subsystem/nvme-subsys3/nvme3n1"},
    {"259:95", "../../devices/virtual/block/nvme95n1"},
    {"259:97", "../../devices/pci0000:00/0000:00:1d.0/nvme/nvme97/nvme97n1"},
};

UMockdevTestbed* testbed;
UMockdevIoctlBase* handler;
std::string root;
std::string volscan_path;
std::string shim_path;

std::mutex state_lock;
controller_fixture primary;
controller_fixture other;
bed_log log;

[[noreturn]] void bed_fail(const char* what, GError* error)
{
    fprintf(stderr, "bed: %s: %s\n", what, error ? error->message : strerror(errno));
    exit(2);
}

void note(const std::string& text) { log.requests.push_back(text); }

void violation(const node& at, const std::string& text)
{
    log.violations.push_back(std::string(at.name) + ": " + text);
}

// The kernel passes the status field on without its phase bit.
long kernel_result(uint16_t status) { return status >> 1; }

constexpr uint16_t invalid_opcode = 0x8000 | 0x01 << 1;
constexpr uint16_t invalid_field = 0x8000 | 0x02 << 1;

std::string describe(const nvme_admin_cmd& cmd)
{
    char text[256];
    snprintf(text, sizeof text,
             "opcode 0x%02x flags %u nsid %u cdw2 %u cdw3 %u metadata 0x%llx addr %s "
             "metadata_len %u data_len %u cdw10 0x%08x cdw11-15 %u %u %u %u %u",
             cmd.opcode, cmd.flags, cmd.nsid, cmd.cdw2, cmd.cdw3,
             static_cast<unsigned long long>(cmd.metadata), cmd.addr ? "set" : "null",
             cmd.metadata_len, cmd.data_len, cmd.cdw10, cmd.cdw11, cmd.cdw12, cmd.cdw13,
             cmd.cdw14, cmd.cdw15);
    return text;
}

// The one request shape a controller accepts for each opcode.
bool well_formed(const nvme_admin_cmd& cmd)
{
    bool common = cmd.flags == 0 && cmd.rsvd1 == 0 && cmd.cdw2 == 0 && cmd.cdw3 == 0
        && cmd.metadata == 0 && cmd.metadata_len == 0 && cmd.addr != 0 && cmd.data_len == 4096
        && cmd.cdw11 == 0 && cmd.cdw12 == 0 && cmd.cdw13 == 0 && cmd.cdw14 == 0
        && cmd.cdw15 == 0 && (cmd.opcode & 3) == 2; // data flows to the host
    if (cmd.opcode == 0x06)
        return common && cmd.nsid == 0 && cmd.cdw10 == 1;
    if (cmd.opcode == 0x02)
        return common && cmd.nsid == 1 && cmd.cdw10 == 0x03FF00D0;
    return false;
}

void complete(UMockdevIoctlClient* client, long result, int error)
{
    umockdev_ioctl_client_complete(client, result, error);
}

void serve_admin(const node& at, controller_fixture& fixture, UMockdevIoctlClient* client)
{
    GError* error = nullptr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* record = umockdev_ioctl_data_resolve(arg, 0, sizeof(nvme_admin_cmd), &error);
    if (record == nullptr) {
        violation(at, std::string("unreadable admin command: ") + error->message);
        g_error_free(error);
        complete(client, -1, EFAULT);
        return;
    }
    nvme_admin_cmd cmd;
    memcpy(&cmd, record->data, sizeof cmd);
    if (!well_formed(cmd)) {
        violation(at, "malformed admin command: " + describe(cmd));
        complete(client, kernel_result(cmd.opcode == 0x06 || cmd.opcode == 0x02 ? invalid_field
                                                                                : invalid_opcode),
                 0);
        g_object_unref(record);
        return;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        record, offsetof(nvme_admin_cmd, addr), cmd.data_len, &error);
    if (buffer == nullptr) {
        violation(at, std::string("unreadable data buffer: ") + error->message);
        g_error_free(error);
        complete(client, -1, EFAULT);
        g_object_unref(record);
        return;
    }
    if (std::any_of(buffer->data, buffer->data + cmd.data_len, [](uint8_t b) { return b != 0; }))
        violation(at, "data buffer not zero-filled before the command");

    if (cmd.opcode == 0x06) {
        note(std::string(at.name) + ": identify");
        if (fixture.identify_errno) {
            complete(client, -1, fixture.identify_errno);
        } else {
            // Data moves whatever the status says; only volscan judges the status.
            memcpy(buffer->data, fixture.identify.data(), page_size);
            complete(client, kernel_result(fixture.identify_status), 0);
        }
    } else {
        int sample = log.samples++;
        note(std::string(at.name) + ": log page");
        if (!fixture.has_stats_log)
            complete(client, kernel_result(invalid_field), 0);
        else if (fixture.log_fail_from >= 0 && sample >= fixture.log_fail_from
                 && fixture.log_errno)
            complete(client, -1, fixture.log_errno);
        else if (fixture.log_fail_from >= 0 && sample >= fixture.log_fail_from)
            complete(client, kernel_result(fixture.log_status), 0);
        else {
            page_bytes made;
            const page_bytes* page = &made;
            if (fixture.live)
                made = live_stats_page(sample);
            else if (fixture.pages.empty())
                made = page_bytes(page_size, 0);
            else
                page = &fixture.pages[std::min<size_t>(sample, fixture.pages.size() - 1)];
            memcpy(buffer->data, page->data(), page_size);
            complete(client, 0, 0);
        }
    }
    g_object_unref(buffer);
    g_object_unref(record);
}

gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer)
{
    std::lock_guard<std::mutex> hold(state_lock);
    const char* devnode = umockdev_ioctl_client_get_devnode(client);
    const node* at = nullptr;
    for (const node& candidate : nodes)
        if (strcmp(devnode + 5, candidate.name) == 0)
            at = &candidate;
    if (at == nullptr) {
        log.violations.push_back(std::string("request on unknown node ") + devnode);
        complete(client, -1, ENOTTY);
        return TRUE;
    }
    controller_fixture& fixture = at->plays == player::primary ? primary : other;
    unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == NVME_IOCTL_ID) {
        note(std::string(at->name) + ": namespace id");
        if (at->nsid == 0)
            complete(client, -1, ENOTTY); // as the kernel answers on a controller node
        else if (fixture.nsid_errno)
            complete(client, -1, fixture.nsid_errno);
        else
            complete(client, at->nsid, 0);
    } else if (request == NVME_IOCTL_ADMIN_CMD) {
        serve_admin(*at, fixture, client);
    } else {
        char text[64];
        snprintf(text, sizeof text, "unexpected ioctl 0x%lx", request);
        violation(*at, text);
        complete(client, -1, ENOTTY);
    }
    return TRUE;
}

void put_le(page_bytes& page, size_t offset, uint64_t value, int width)
{
    for (int i = 0; i < width; i++)
        page[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void put_histogram(page_bytes& page, size_t offset, uint64_t num_bins,
                   const std::vector<stats_bin>& bins)
{
    put_le(page, offset, num_bins, 8);
    for (size_t i = 0; i < bins.size() && i < 64; i++) {
        size_t at = offset + 8 + 24 * i;
        put_le(page, at, bins[i].lower, 8);
        put_le(page, at + 8, bins[i].upper, 8);
        put_le(page, at + 16, bins[i].count, 4);
    }
}

} // namespace

void put_field(page_bytes& page, size_t offset, size_t width, const std::string& text, char pad)
{
    for (size_t i = 0; i < width; i++)
        page[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : pad;
}

page_bytes identify_page(uint16_t vendor, const std::string& serial, const std::string& model,
                         const std::string& bdev)
{
    page_bytes page(page_size, 0);
    put_le(page, 0, vendor, 2);
    put_le(page, 2, vendor, 2);
    put_field(page, 4, 20, serial);
    put_field(page, 24, 40, model);
    put_field(page, 64, 8, "1.0");
    put_field(page, 3072, 32, bdev);
    return page;
}

page_bytes stats_page(const stats_values& values)
{
    page_bytes page(page_size, 0);
    put_le(page, 0, values.magic, 4);
    for (int i = 0; i < 11; i++)
        put_le(page, 8 + 8 * i, values.counters[i], 8);
    put_histogram(page, 512, values.read_num_bins, values.read_bins);
    put_histogram(page, 2056, values.write_num_bins, values.write_bins);
    return page;
}

page_bytes live_stats_page(int sample)
{
    // A volume doing about 3000 reads and 1200 writes of 16 KiB a second, with
    // the numbers wobbling from sample to sample.
    stats_values v;
    uint64_t reads = 0, writes = 0;
    for (int k = 1; k <= sample; k++) {
        reads += 2900 + (k * 7919) % 250;
        writes += 1150 + (k * 104729) % 120;
    }
    reads += 1000000;
    writes += 400000;
    v.counters[0] = reads;
    v.counters[1] = writes;
    v.counters[2] = reads * 16384;
    v.counters[3] = writes * 16384;
    v.counters[4] = reads * 410;
    v.counters[5] = writes * 730;
    v.counters[6] = sample > 2 ? 1500000 + 20000 * static_cast<uint64_t>(sample) : 1500000;
    v.counters[8] = 8000;
    v.counters[10] = 2 + sample % 5;
    static const uint64_t bounds[] = {0, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768};
    const uint32_t read_share[] = {1, 60, 25, 8, 3, 1, 1, 1, 0};
    const uint32_t write_share[] = {0, 10, 40, 30, 12, 5, 2, 1, 0};
    v.read_num_bins = v.write_num_bins = 9;
    for (int i = 0; i < 9; i++) {
        v.read_bins.push_back({bounds[i], bounds[i + 1], static_cast<uint32_t>(reads * read_share[i] / 100)});
        v.write_bins.push_back({bounds[i], bounds[i + 1], static_cast<uint32_t>(writes * write_share[i] / 100)});
    }
    return stats_page(v);
}

controller_fixture ebs_volume()
{
    controller_fixture f;
    f.identify = identify_page(0x1D0F, "vol0123456789abcdef0", "Amazon Elastic Block Store",
                               "/dev/sdf");
    stats_values v;
    for (int i = 0; i < 11; i++)
        v.counters[i] = i + 1;
    v.read_num_bins = 2;
    v.read_bins = {{0, 100, 5}, {100, 200, 7}};
    f.pages = {stats_page(v)};
    return f;
}

controller_fixture instance_storage()
{
    controller_fixture f;
    f.identify = identify_page(0x1D0F, "AWS1234567890ABCDEF0", "Amazon EC2 NVMe Instance Storage",
                               "");
    f.has_stats_log = false;
    return f;
}

controller_fixture other_vendor()
{
    controller_fixture f;
    f.identify = identify_page(0x1B36, "deadbeef", "QEMU NVMe Ctrl", "");
    f.has_stats_log = false;
    return f;
}

void bed_start(const char* volscan_binary, const char* shim_library)
{
    volscan_path = volscan_binary;
    shim_path = shim_library;
    GError* error = nullptr;
    testbed = umockdev_testbed_new();
    if (!umockdev_testbed_add_from_string(testbed, sysfs_description, &error))
        bed_fail("sysfs", error);
    char* dir = umockdev_testbed_get_root_dir(testbed);
    root = dir;
    g_free(dir);

    std::string numbers = root + "/sys/dev";
    mkdir(numbers.c_str(), 0755);
    numbers += "/block";
    mkdir(numbers.c_str(), 0755);
    for (auto& entry : block_numbers)
        if (symlink(entry[1], (numbers + "/" + entry[0]).c_str()) != 0 && errno != EEXIST)
            bed_fail("block number link", nullptr);
    std::string by_id = root + "/dev/disk";
    mkdir(by_id.c_str(), 0755);
    by_id += "/by-id";
    mkdir(by_id.c_str(), 0755);
    if (symlink("../../nvme0n1",
                (by_id + "/nvme-Amazon_Elastic_Block_Store_vol0123456789abcdef0").c_str()) != 0)
        bed_fail("by-id link", nullptr);

    primary = ebs_volume();
    other = other_vendor();
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(handle_ioctl), nullptr);
    for (const node& n : nodes)
        if (!umockdev_testbed_attach_ioctl(testbed, (std::string("/dev/") + n.name).c_str(),
                                           handler, &error))
            bed_fail(n.name, error);
}

void bed_stop()
{
    if (testbed == nullptr)
        return;
    for (const node& n : nodes)
        umockdev_testbed_detach_ioctl(testbed, (std::string("/dev/") + n.name).c_str(), nullptr);
    g_object_unref(handler);
    g_object_unref(testbed); // removes the test bed's folder
    testbed = nullptr;
}

void bed_set_primary(const controller_fixture& fixture)
{
    std::lock_guard<std::mutex> hold(state_lock);
    primary = fixture;
    log = bed_log();
}

bed_log bed_take_log()
{
    std::lock_guard<std::mutex> hold(state_lock);
    bed_log taken = log;
    log = bed_log();
    return taken;
}

std::string bed_root() { return root; }

const std::string& bed_volscan_path() { return volscan_path; }

std::string read_all(int fd)
{
    std::string text;
    char chunk[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, got);
    return text;
}

std::vector<char*> c_strings(const std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (const std::string& s : strings)
        pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

run_result bed_run(const std::string& program, const std::vector<std::string>& argv,
                   const run_options& options)
{
    std::vector<std::string> env = {
        "PATH=/usr/local/bin:/usr/bin:/bin",
        "UMOCKDEV_DIR=" + root,
        "LD_PRELOAD=" + shim_path + ":libumockdev-preload.so.0",
        // Sanitizer builds: umockdev's library comes before the runtime's.
        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0",
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1",
    };
    for (const char* keep : {"HOME", "TERM", "SHELL", "TMPDIR"})
        if (const char* value = getenv(keep))
            env.push_back(std::string(keep) + "=" + value);
    if (options.fast_sleep)
        env.push_back("BED_FAST_SLEEP=1");
    // A caller's entry replaces the default of the same name.
    for (const std::string& entry : options.env) {
        std::string name = entry.substr(0, entry.find('=') + 1);
        env.erase(std::remove_if(env.begin(), env.end(),
                                 [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; }),
                  env.end());
        env.push_back(entry);
    }

    std::vector<char*> args = c_strings(argv);
    std::vector<char*> envp = c_strings(env);

    int out = -1, err = -1;
    if (!options.inherit_stdio) {
        char out_name[] = "/tmp/bed-out-XXXXXX";
        char err_name[] = "/tmp/bed-err-XXXXXX";
        out = mkstemp(out_name);
        err = mkstemp(err_name);
        if (out < 0 || err < 0)
            bed_fail("mkstemp", nullptr);
        unlink(out_name);
        unlink(err_name);
    }
    int target = -1;
    if (options.stdout_path) {
        target = open(options.stdout_path, O_WRONLY);
        if (target < 0)
            bed_fail(options.stdout_path, nullptr);
    }
    pid_t child = fork();
    if (child < 0)
        bed_fail("fork", nullptr);
    if (child == 0) {
        // An interactive caller ignores Ctrl+C while the program runs, as
        // system() does; the program gets it as from a shell.
        if (options.inherit_stdio) {
            signal(SIGINT, SIG_DFL);
            signal(SIGQUIT, SIG_DFL);
        }
        if (!options.inherit_stdio) {
            int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
        }
        if (target >= 0)
            dup2(target, 1);
        if (options.close_stdout)
            close(1);
        execvpe(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    if (target >= 0)
        close(target);
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!options.inherit_stdio) {
        result.out = read_all(out);
        result.err = read_all(err);
        close(out);
        close(err);
    }
    return result;
}

// BED_WRAPPER (for example "valgrind --error-exitcode=99") runs volscan under
// another program. The wrapper gives volscan its own file name as argv[0], so
// volscan is started through the link of the name that argv[0] asks for.
run_result bed_volscan(const std::vector<std::string>& argv, const run_options& options)
{
    const char* wrapper = getenv("BED_WRAPPER");
    if (wrapper == nullptr || *wrapper == '\0' || argv.empty())
        return bed_run(volscan_path, argv, options);
    std::vector<std::string> words;
    std::string word;
    for (const char* c = wrapper;; c++) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (*c == '\0')
                break;
        } else {
            word += *c;
        }
    }
    std::string name = argv[0].substr(argv[0].rfind('/') + 1);
    words.push_back(volscan_path.substr(0, volscan_path.rfind('/') + 1) + name);
    words.insert(words.end(), argv.begin() + 1, argv.end());
    return bed_run(words[0], words, options);
}
