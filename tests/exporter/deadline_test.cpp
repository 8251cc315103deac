// SPDX-License-Identifier: BSD-2-Clause
// Scrapes by a deadline and at once: a hung controller costs only its own
// series and threads do not pile up behind it; interleaved scrapes never see a
// total go back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace {

using steady = std::chrono::steady_clock;

std::string labels_of(int k)
{
    return "{volume_id=\"" + fleet_volume_id(k) + "\",device=\"nvme" + std::to_string(k) + "n1\"";
}

// One scrape as Prometheus sends it, with its timeout; the page, and the time it took.
std::string prometheus_scrape(int port, const char* timeout, double* seconds = nullptr)
{
    steady::time_point start = steady::now();
    std::string response = http_exchange(
        port, std::string("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "X-Prometheus-Scrape-Timeout-Seconds: ") + timeout
                  + "\r\nConnection: close\r\n\r\n", 10000);
    if (seconds)
        *seconds = std::chrono::duration<double>(steady::now() - start).count();
    EXPECT_EQ(http_status(response), 200) << response.substr(0, 200);
    return http_body(response);
}

// A field of /proc/PID/status ("Threads", "VmRSS", ...), as a number.
long status_number(pid_t pid, const char* field)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(std::string("\n") + field + ":");
    return at == std::string::npos ? -1 : strtol(status.c_str() + at + strlen(field) + 2, nullptr, 10);
}

// Threads of a process once the connection just closed has let its own go:
// the fewest seen within half a second.
long settled_threads(pid_t pid)
{
    long fewest = status_number(pid, "Threads");
    for (int i = 0; i < 50; i++) {
        usleep(10000);
        fewest = std::min(fewest, status_number(pid, "Threads"));
    }
    return fewest;
}

} // namespace

TEST(deadline, hung_device_costs_only_its_own_series)
{
    // nvme2's first bin wraps between its first page and the next.
    fleet_scope bed({plain(fleet_ebs_volume(0)), plain(fleet_ebs_volume(1)),
                     plain(wrapping_volume(2, {4294967000u, 100u})),
                     plain(fleet_ebs_volume(3))});
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--scrape.threads=2", "--scrape.timeout=0.4"});
    const std::string bucket = "ebs_read_latency_seconds_bucket" + labels_of(2) + ",le=\"0.0001\"}";
    std::string page = prometheus_scrape(port, "2");
    EXPECT_EQ(sample_value(page, bucket), 4294967000.);

    // It hangs as a controller does until the kernel's admin timeout; Prometheus waits 1 s.
    // The device side answers from its last reading for a second yet.
    fleet_set_delay(2, 60000);
    usleep(past_reuse_us);
    pid_t device_side = child_of(exporter.pid);
    ASSERT_GT(device_side, 0);
    long threads[2] = {}, device_threads[2] = {}, rss[2] = {};
    const int scrapes = 16;
    double slowest = 0;
    for (int i = 0; i < scrapes; i++) {
        double seconds;
        page = prometheus_scrape(port, "1", &seconds);
        SCOPED_TRACE("scrape " + std::to_string(i));
        EXPECT_LT(seconds, 1.0);
        slowest = std::max(slowest, seconds);
        EXPECT_EQ(sample_value(page, "ebs_scrape_success" + labels_of(2) + "}"), 0);
        EXPECT_EQ(sample_value(page, "ebs_read_ops_total" + labels_of(2) + "}"), -1);
        EXPECT_EQ(sample_value(page, bucket), -1);
        EXPECT_EQ(lines_with(page, "ebs_volume_info" + labels_of(2)).size(), 1u);
        for (int k : {0, 1, 3}) {
            EXPECT_EQ(sample_value(page, "ebs_scrape_success" + labels_of(k) + "}"), 1);
            EXPECT_GT(sample_value(page, "ebs_read_ops_total" + labels_of(k) + "}"), 0);
        }
        if (i == 3 || i == scrapes - 1) {
            int at = i == 3 ? 0 : 1;
            threads[at] = settled_threads(exporter.pid);
            device_threads[at] = status_number(device_side, "Threads");
            rss[at] = status_number(exporter.pid, "VmRSS");
        }
    }
    printf("with a hung device: slowest scrape %.3f s; threads %ld then %ld, device side %ld; "
           "VmRSS %ld then %ld kB\n", slowest, threads[0], threads[1], device_threads[1], rss[0],
           rss[1]);
    // A scraper that does not say how long it waits gets --scrape.timeout.
    steady::time_point start = steady::now();
    page = http_body(http_get(port, "/metrics"));
    EXPECT_LT(std::chrono::duration<double>(steady::now() - start).count(), 0.8);
    EXPECT_EQ(sample_value(page, "ebs_scrape_success" + labels_of(2) + "}"), 0);
    EXPECT_EQ(sample_value(page, "ebs_scrape_success" + labels_of(3) + "}"), 1);
    // It was asked once, and not again while that request was out.
    EXPECT_EQ(fleet_pending(2), 1);
    EXPECT_EQ(threads[1], threads[0]);
    // The one that takes requests, its watchdog, and two readers.
    EXPECT_EQ(device_threads[0], 4);
    EXPECT_EQ(device_threads[1], 4);
#ifndef VOLSCAN_SANITIZE
    // AddressSanitizer holds freed memory back from reuse for a while, so
    // resident memory grows there whatever the program does.
    EXPECT_LT(rss[1] - rss[0], 512) << "kB";
#endif

    // Its request comes back: its totals went on through the wrap while it hung.
    fleet_set_delay(2, 0);
    double success = 0;
    for (int tries = 0; tries < 20 && success != 1; tries++)
        success = sample_value(page = prometheus_scrape(port, "1"), "ebs_scrape_success" + labels_of(2) + "}");
    EXPECT_EQ(success, 1);
    EXPECT_EQ(sample_value(page, bucket), 4294967396.); // 4294967000, then 100 past 2^32
    run_result result = fleet_finish(exporter, SIGTERM);
    std::vector<std::string> lines = {
        start_line(port, 2),
        found("4 volumes, 0 instance-storage disks"),
        // Prometheus's 1 s less half gives 0.5 s, above --scrape.timeout.
        "volscan-exporter: nvme2n1 (nvme2): did not answer within 0.4 s\n",
        "volscan-exporter: nvme2n1 (nvme2): answers again\n",
    };
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(sorted_lines(result.err), lines);
    EXPECT_EQ(result.status, 0);
}

TEST(deadline, interleaved_scrapes_never_go_back)
{
    // Busy volumes whose first bins wrap within the test; one answers slowly,
    // so that scrapes overlap while they wait for it.
    std::vector<fleet_controller> controllers;
    for (int k = 0; k < 5; k++) {
        fleet_controller c = plain(fleet_ebs_volume(k));
        c.timed = true;
        c.bin_offset = 4294967295u - 1500 * k; // 1500 a second in that bin
        controllers.push_back(c);
    }
    controllers[4].delay_ms = 200;
    fleet_scope bed(controllers);
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    const int clients = 4, scrapes = 12;
    steady::time_point start = steady::now();
    std::vector<std::thread> threads;
    std::vector<std::string> faults(clients);
    for (int c = 0; c < clients; c++)
        threads.emplace_back([&, c] {
            std::map<std::string, double> last;
            for (int i = 0; i < scrapes; i++) {
                std::string page = prometheus_scrape(port, "5");
                std::vector<std::string> success = lines_with(page, "ebs_scrape_success{");
                if (success.size() != 5
                    || std::count_if(success.begin(), success.end(), [](const std::string& line) {
                           return line.substr(line.size() - 2) == " 1";
                       }) != 5)
                    faults[c] += "incomplete page\n";
                for (const std::string& line : lines_with(page, "ebs_")) {
                    std::string series = line.substr(0, line.rfind(' '));
                    double value = strtod(line.c_str() + line.rfind(' ') + 1, nullptr);
                    bool cumulative = series.find("_total{") != std::string::npos
                        || series.find("_bucket{") != std::string::npos
                        || series.find("_count{") != std::string::npos
                        || series.find("_sum{") != std::string::npos;
                    if (cumulative && last.count(series) && value < last[series])
                        faults[c] += series + " went back\n";
                    last[series] = value;
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    double took = std::chrono::duration<double>(steady::now() - start).count();
    for (int c = 0; c < clients; c++)
        EXPECT_EQ(faults[c], "") << "client " << c;
    // One after the other, the slow volume alone would take 4 * 12 * 0.2 s.
    EXPECT_LT(took, 0.7 * clients * scrapes * 0.2);
    EXPECT_EQ(fleet_finish(exporter, SIGTERM).status, 0);
}

TEST(deadline, scrapes_within_a_second_share_one_reading)
{
    // Scrapes one after the other and at once, as two Prometheus servers of a
    // pair or a client that scrapes again and again send them.
    fleet_scope bed({plain(fleet_ebs_volume(0)), plain(fleet_ebs_volume(1)),
                     plain(fleet_ebs_volume(2))});
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    const std::string series = "ebs_read_ops_total" + labels_of(1) + "}";
    steady::time_point start = steady::now();
    std::vector<double> seen;
    std::mutex seen_lock;
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; c++)
        clients.emplace_back([&] {
            for (int i = 0; i < 3; i++) {
                double value = sample_value(prometheus_scrape(port, "5"), series);
                std::lock_guard<std::mutex> hold(seen_lock);
                seen.push_back(value);
            }
        });
    for (std::thread& client : clients)
        client.join();
    double took = std::chrono::duration<double>(steady::now() - start).count();
    // A reading serves 0.9 s from its start: on a machine slow enough to take
    // longer over all twelve, one more reading for each 0.9 s.
    int most = 1 + static_cast<int>(took / 0.9);
    for (int k = 0; k < 3; k++) {
        EXPECT_LE(fleet_identifies(k), most) << "nvme" << k << " in " << took << " s";
        EXPECT_LE(fleet_samples(k), most) << "nvme" << k << " in " << took << " s";
    }
    ASSERT_EQ(seen.size(), 12u);
    EXPECT_GT(seen[0], 0);
    if (most == 1) {
        EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), 12);
    }
    int before = fleet_samples(1);

    // Once the reading is old, a scrape reads the devices again.
    usleep(past_reuse_us);
    double later = sample_value(prometheus_scrape(port, "5"), series);
    EXPECT_GT(later, *std::max_element(seen.begin(), seen.end()));
    EXPECT_EQ(fleet_samples(1), before + 1);
    for (int k = 0; k < 3; k++)
        EXPECT_EQ(fleet_identifies(k), fleet_samples(k)) << "nvme" << k;
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("3 volumes, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

TEST(deadline, a_late_listing_holds_no_other_scrape_past_its_deadline)
{
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    EXPECT_EQ(http_status(http_get(port, "/metrics")), 200);
    pid_t device_side = child_of(exporter.pid);
    ASSERT_GT(device_side, 0);
    // The device side answers nothing for a while: the first scrape's listing
    // is out until its deadline, 2 s; the second gives up at its own, 0.5 s.
    kill(device_side, SIGSTOP);
    std::string first;
    std::thread patient([&] {
        first = http_exchange(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                    "X-Prometheus-Scrape-Timeout-Seconds: 2.5\r\n"
                                    "Connection: close\r\n\r\n", 10000);
    });
    usleep(200 * 1000);
    steady::time_point start = steady::now();
    std::string second = http_exchange(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                             "X-Prometheus-Scrape-Timeout-Seconds: 1\r\n"
                                             "Connection: close\r\n\r\n", 10000);
    double took = std::chrono::duration<double>(steady::now() - start).count();
    patient.join();
    kill(device_side, SIGCONT);
    EXPECT_GT(took, 0.45);
    EXPECT_LT(took, 1.0);
    const std::string timed_out = "cannot list the NVMe controllers: Connection timed out\n";
    EXPECT_EQ(http_status(second), 500);
    EXPECT_EQ(http_body(second), timed_out);
    EXPECT_EQ(http_status(first), 500);
    EXPECT_EQ(http_body(first), timed_out);
    // The late answers are dropped, and the next scrape is whole.
    std::string page = prometheus_scrape(port, "2");
    EXPECT_EQ(sample_value(page, "ebs_scrape_success" + labels_of(0) + "}"), 1);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}
