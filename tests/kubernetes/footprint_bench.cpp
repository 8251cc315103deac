// SPDX-License-Identifier: BSD-2-Clause
// What the DaemonSet's resource requests and limits rest on: the exporter's
// memory and CPU time on 27 emulated volumes (the most a machine attaches),
// scraped once a second for a minute. Run by make bench, not by ctest; as
// root, both of the exporter's processes are measured, as in a pod.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"

// Peak and current resident memory in KiB, from /proc/PID/status.
static void memory(pid_t pid, long* peak, long* now)
{
    *peak = *now = 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    if (!file)
        return;
    char line[256];
    while (fgets(line, sizeof line, file)) {
        sscanf(line, "VmHWM: %ld kB", peak);
        sscanf(line, "VmRSS: %ld kB", now);
    }
    fclose(file);
}

// User and system CPU time in seconds, from /proc/PID/stat.
static double cpu_seconds(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::string text = read_file(path);
    size_t end = text.rfind(')');
    if (end == std::string::npos)
        return 0;
    unsigned long user = 0, system = 0;
    // After the name: state, then 10 fields, then utime and stime.
    if (sscanf(text.c_str() + end + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
               &system)
        != 2)
        return 0;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int main()
{
    const int volumes = 27, seconds = 60;
    std::vector<fleet_controller> controllers;
    for (int k = 0; k < volumes; k++) {
        fleet_controller c;
        c.fixture = fleet_ebs_volume(k);
        c.timed = true;
        controllers.push_back(c);
    }
    fleet_start(controllers, BED_SHIM);
    int port = free_port();
    fleet_process exporter = start_exporter(port, {});
    pid_t other = child_of(exporter.pid);
    std::vector<pid_t> processes = {exporter.pid};
    if (other > 0)
        processes.push_back(other);
    double cpu_before = 0;
    for (pid_t pid : processes)
        cpu_before += cpu_seconds(pid);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < seconds; i++) {
        std::string response = http_get(port, "/metrics");
        if (http_status(response) != 200
            || lines_with(http_body(response), "ebs_read_ops_total{").size() != volumes) {
            fprintf(stderr, "footprint_bench: an incomplete scrape\n");
            return 1;
        }
        std::this_thread::sleep_until(start + std::chrono::seconds(i + 1));
    }
    double cpu = -cpu_before;
    for (pid_t pid : processes)
        cpu += cpu_seconds(pid);
    printf("volscan-exporter on %d volumes, scraped once a second for %d s (%zu processes):\n",
           volumes, seconds, processes.size());
    long peak_sum = 0;
    for (pid_t pid : processes) {
        long peak, now;
        memory(pid, &peak, &now);
        peak_sum += peak;
        printf("  process %d: resident %ld KiB, peak %ld KiB\n", static_cast<int>(pid), now, peak);
    }
    printf("  peak resident memory, both processes: %ld KiB\n", peak_sum);
    printf("  CPU time: %.2f s in %d s (%.1f millicores)\n", cpu, seconds, cpu * 1000 / seconds);
    fleet_finish(exporter, SIGTERM);
    fleet_stop();
    return 0;
}
