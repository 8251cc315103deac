// SPDX-License-Identifier: BSD-2-Clause
// A machine full of emulated NVMe controllers for the tests of top and of
// the exporter: nvme0 ... nvmeN-1, each with its namespace, each playing a
// fixture of its own. Controllers can be detached and attached while the
// program under test runs.
#pragma once

#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

#include "bed.h"

struct fleet_controller {
    controller_fixture fixture; // identify page, statistics pages, failures
    // Statistics from the wall clock instead of the sample number:
    // timed_stats_page(seconds since the bed started).
    bool timed = false;
    // Its namespace is a multipath path: nvme<40+k>c<k>n1, head nvme<40+k>n1.
    bool multipath = false;
    // Added to the count of a timed page's second bin (128 to 256 us, half of
    // all operations), modulo 2^32: makes it wrap.
    uint32_t bin_offset = 0;
    // false: not there until fleet_attach. umockdev 0.17 cannot make a removed
    // node again, so a controller is attached at most once and detached at most once.
    bool attached = true;
    // Leaves the machine's listing once it has served the sample with this
    // number (its descriptor, already open, stays), as a volume detached
    // between two samples of a running program does; -1: never.
    int detach_after_sample = -1;
    // Every admin command is answered this many milliseconds late: a slow or,
    // far past the scrape's deadline, a hung device. The bed's worker is not
    // held meanwhile: other controllers answer as usual.
    int delay_ms = 0;
    // When set, makes each statistics page from the sample's number and the
    // seconds since the bed started (before timed, live and fixed pages).
    std::function<page_bytes(int sample, double seconds)> make_page;
};

// Starts the bed with these controllers, nvme0 first; programs run with the
// test bed's shim preloaded. Fails the process on error.
void fleet_start(const std::vector<fleet_controller>& controllers, const char* shim_library);
void fleet_stop();

// The fleet for one test, made with the test bed's shim; at the end it checks
// that no controller saw a request it would refuse.
struct fleet_scope {
    explicit fleet_scope(const std::vector<fleet_controller>& controllers);
    ~fleet_scope();
};

void fleet_set(int index, const fleet_controller& controller);
void fleet_detach(int index);
// Changes a controller's delay, for commands already held too (never later
// than before); its samples go on.
void fleet_set_delay(int index, int delay_ms);
// Commands of a controller held for their delay now.
int fleet_pending(int index);
void fleet_attach(int index);

// Log pages served so far by one controller; requests a controller would refuse.
int fleet_samples(int index);
// Identify commands served so far by one controller.
int fleet_identifies(int index);
std::vector<std::string> fleet_violations();

// The platform's volume ID of controller k's fixtures: vol-0000000000000000k.
std::string fleet_volume_id(int index);
controller_fixture fleet_ebs_volume(int index); // live counters, volume fleet_volume_id(index)

// A volume at t seconds: 3000 reads and 1000 writes of 16 KiB a second,
// 2 ms of IOPS throttling a second, read latencies in five bins
// (10 % up to 128 us, 50 % to 256 us, 30 % to 512 us, 8 % to 1024 us, 2 % to 2048 us).
page_bytes timed_stats_page(double seconds, uint32_t bin_offset = 0);

// A running program on the bed.
struct fleet_process {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};
// env: more NAME=value entries for the program.
fleet_process fleet_spawn(const std::string& program, const std::vector<std::string>& argv,
                          const std::vector<std::string>& env = {});
// Sends signal (0: none), waits, and returns what it wrote and its exit
// status; with usage, also the CPU time it and its children used.
run_result fleet_finish(fleet_process& process, int signal_number, struct rusage* usage = nullptr);

// Seconds since fleet_start, by the clock of timed pages.
double fleet_seconds();
// The folder of the emulated /dev and /sys, for UMOCKDEV_DIR.
std::string fleet_root();
// Runs to the end.
run_result fleet_run(const std::string& program, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env = {});
