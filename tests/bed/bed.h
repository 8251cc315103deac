// SPDX-License-Identifier: BSD-2-Clause
// An emulated set of NVMe devices for end-to-end tests of the real volscan
// binary: umockdev provides /dev and /sys, and a handler of ours plays the
// controllers from fixtures.
//
// The nodes, always the same:
//   nvme0        controller that plays the primary fixture
//   nvme0n1      its namespace 1 (block node), ng0n1 the same as a generic char node
//   disk/by-id/nvme-Amazon_Elastic_Block_Store_vol0123456789abcdef0 -> ../../nvme0n1
//   nvme3n1      multipath head of subsystem nvme-subsys3, whose controllers are
//                nvme12 (another vendor's) and nvme3 (the primary fixture); the
//                lowest-numbered one, nvme3, is the one to use
//   nvme5n1      namespace whose controller sysfs does not name
//   nvme7n1      namespace of controller nvme7, which has no /dev node
//   nvme99       nothing at all
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

constexpr size_t page_size = 4096;

using page_bytes = std::vector<uint8_t>; // always page_size bytes

// How a controller behaves. Statuses are the completion's 16-bit status field
// (phase bit 0, Status Code 1-8, Status Code Type 9-11, ...); the handler hands
// them to volscan as the Linux kernel does.
struct controller_fixture {
    page_bytes identify;

    int nsid_errno = 0;          // NVME_IOCTL_ID on a namespace node fails with this
    int identify_errno = 0;      // Identify request fails with this errno
    uint16_t identify_status = 0;

    bool has_stats_log = true;   // false: Get Log Page 0xD0 is an invalid field
    std::vector<page_bytes> pages; // sample k is pages[min(k, size - 1)]
    bool live = false;           // pages made up as a busy volume's, sample by sample
    int log_fail_from = -1;      // samples from this one on fail as below
    int log_errno = 0;
    uint16_t log_status = 0;
};

// What the controllers saw during one run.
struct bed_log {
    std::vector<std::string> requests;   // "nvme0: identify", "nvme0: log page" ...
    std::vector<std::string> violations; // requests a controller would not accept
    int samples = 0;                     // log pages served (answered or failed)
};

struct run_result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal
};

struct run_options {
    std::vector<std::string> env; // extra NAME=value entries
    bool fast_sleep = true;
    bool inherit_stdio = false;   // for interactive use: no capture
    const char* stdout_path = nullptr; // send standard output there instead of capturing it
    bool close_stdout = false;
};

// Builds the emulated devices. Fails the process on any error.
void bed_start(const char* volscan_binary, const char* shim_library);
void bed_stop();

// Sets how nvme0 and nvme3 behave for the following runs and clears the log.
void bed_set_primary(const controller_fixture& fixture);

// Runs a program under the emulation. argv[0] may differ from the program's
// file name; an empty argv runs it with argc 0.
run_result bed_run(const std::string& program, const std::vector<std::string>& argv,
                   const run_options& options = run_options());

// Runs volscan under the name in argv[0] ("volscan", "volscan-id", a path ...).
run_result bed_volscan(const std::vector<std::string>& argv,
                       const run_options& options = run_options());

bed_log bed_take_log();

// Everything in a file, read from its start.
std::string read_all(int fd);

// The strings as an argv or envp for exec: their C strings, then a null pointer.
std::vector<char*> c_strings(const std::vector<std::string>& strings);
std::string bed_root();
const std::string& bed_volscan_path();

// Fixture builders.
page_bytes identify_page(uint16_t vendor, const std::string& serial, const std::string& model,
                         const std::string& bdev);
controller_fixture ebs_volume();       // vol0123456789abcdef0, /dev/sdf
controller_fixture instance_storage(); // AWS1234567890ABCDEF0, no statistics page
controller_fixture other_vendor();     // QEMU's controller
// Writes a fixed-width field: text then padding bytes.
void put_field(page_bytes& page, size_t offset, size_t width, const std::string& text,
               char pad = ' ');

// Statistics pages, built field by field in little-endian order.
struct stats_bin {
    uint64_t lower, upper;
    uint32_t count;
};
struct stats_values {
    uint32_t magic = 0x3C23B510;
    uint64_t counters[11] = {}; // total_read_ops ... volume_queue_length, in page order
    uint64_t read_num_bins = 0;
    std::vector<stats_bin> read_bins;   // up to 64
    uint64_t write_num_bins = 0;
    std::vector<stats_bin> write_bins;  // up to 64
};
page_bytes stats_page(const stats_values& values);
page_bytes live_stats_page(int sample); // a busy volume's counters at sample k
