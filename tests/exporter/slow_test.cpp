// SPDX-License-Identifier: BSD-2-Clause
// volscan-exporter with the real programs around it: a Prometheus server that
// scrapes it every second, node_exporter reading its text file, a load test,
// and the benchmark of one scrape against the README's jq recipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace {


fleet_controller timed_volume(int index)
{
    fleet_controller c;
    c.fixture = fleet_ebs_volume(index);
    c.timed = true;
    return c;
}

std::vector<fleet_controller> live_volumes(int count)
{
    std::vector<fleet_controller> controllers;
    for (int k = 0; k < count; k++) {
        fleet_controller c;
        c.fixture = fleet_ebs_volume(k);
        controllers.push_back(c);
    }
    return controllers;
}

// Every value of a PromQL query's answer, in the order Prometheus gives them.
std::vector<double> promql(int port, const std::string& query)
{
    std::string command = "curl -sf http://127.0.0.1:" + std::to_string(port)
        + "/api/v1/query --data-urlencode 'query=" + query
        + "' | jq -r '.data.result[].value[1]'";
    std::vector<double> values;
    std::string out = shell(command);
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        values.push_back(strtod(out.substr(at, end - at).c_str(), nullptr));
        at = end + 1;
    }
    return values;
}

long resident_kib(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : strtol(status.c_str() + at + 6, nullptr, 10);
}

// CPU seconds a process has used so far, all its threads together.
double cpu_seconds(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const char* after = strrchr(stat.c_str(), ')') + 2;
    unsigned long utime = 0, stime = 0;
    // Fields 14 and 15; after ") " comes field 3.
    sscanf(after, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A Prometheus server that scrapes the exporter every second, once it has
// scraped it for the first time; its port in *port.
// A Prometheus server that scrapes the exporter on exporter_port every
// second, once it has scraped it the first time.
pid_t scraping_prometheus(const std::string& folder, int exporter_port, int* port)
{
    *port = free_port();
    pid_t prometheus = start_prometheus(folder, *port, {exporter_port});
    EXPECT_GT(prometheus, 0) << read_file(folder + "/prometheus.log");
    // Prometheus listens before it scrapes: wait for its first scrape.
    for (int tries = 0; tries < 300 && promql(*port, "up") != std::vector<double>{1}; tries++)
        usleep(100000);
    EXPECT_EQ(promql(*port, "up"), std::vector<double>{1});
    return prometheus;
}

// The CPU time of the exporter's two processes.
double exporter_cpu_seconds(pid_t pid)
{
    return cpu_seconds(pid) + cpu_seconds(child_of(pid));
}

} // namespace

TEST(prometheus, rates_quantiles_and_a_wrapping_bin)
{
    // nvme0 and nvme1: 3000 reads a second. nvme1 comes once Prometheus runs,
    // with bin counts set to pass 2^32 in its 128-256 us bin four seconds later.
    fleet_controller wrapping = timed_volume(1);
    wrapping.attached = false;
    fleet_scope bed({timed_volume(0), wrapping});
    int exporter_port = free_port();
    fleet_process exporter = start_exporter(exporter_port);
    temporary_folder folder;
    int prometheus_port;
    pid_t prometheus = scraping_prometheus(folder.path, exporter_port, &prometheus_port);
    ASSERT_FALSE(testing::Test::HasFailure());

    double attach_time = fleet_seconds();
    // The bin holds half the reads: 500000 + 1500 t.
    wrapping.bin_offset = static_cast<uint32_t>(
        4294967296.0 - (500000 + 1500 * (attach_time + 4)));
    wrapping.attached = true;
    fleet_set(1, wrapping);
    fleet_attach(1);
    sleep(12);

    std::string volume0 = "device=\"nvme0n1\"";
    std::string volume1 = "device=\"nvme1n1\"";
    EXPECT_EQ(promql(prometheus_port, "up"), std::vector<double>{1});
    // The 128-256 us bin of nvme1 alone.
    std::string bin1 = "ebs_read_latency_seconds_bucket{" + volume1
        + ",le=\"0.000256\"} - ignoring(le) ebs_read_latency_seconds_bucket{" + volume1
        + ",le=\"0.000128\"}";
    struct row {
        std::string query;
        double low, high;
    } rows[] = {
        {"rate(ebs_read_ops_total{" + volume0 + "}[5s])", 2850, 3150},
        {"rate(ebs_write_bytes_total{" + volume0 + "}[5s])", 1000 * 16384 * 0.95, 1000 * 16384 * 1.05},
        {"rate(ebs_read_seconds_total{" + volume0 + "}[5s])", 0.9 * 0.95, 0.9 * 1.05},
        {"rate(ebs_volume_performance_exceeded_iops_seconds_total{" + volume0 + "}[5s])", 0.0019, 0.0021},
        {"ebs_volume_queue_length{" + volume0 + "}", 4, 4},
        // Half the reads take 128 to 256 us; 98 % take up to 1024 us.
        {"histogram_quantile(0.5, rate(ebs_read_latency_seconds_bucket{" + volume0 + "}[5s]))",
         0.000128, 0.000256},
        {"histogram_quantile(0.99, rate(ebs_read_latency_seconds_bucket{" + volume0 + "}[5s]))",
         0.001024, 0.002048},
        {"rate(ebs_read_latency_seconds_count{" + volume0 + "}[5s])", 2850, 3150},
        // The wrapping bin: its total went past 2^32, with no reset and its true rate.
        {"min_over_time((" + bin1 + ")[1m:1s])", 4294967296.0 - 20000, 4294967295.0},
        {"max_over_time((" + bin1 + ")[1m:1s])", 4294967296.0, 4294967296.0 + 30000},
        {"resets(ebs_read_latency_seconds_bucket{" + volume1 + ",le=\"0.000256\"}[1m])", 0, 0},
        {"resets(ebs_read_latency_seconds_count{" + volume1 + "}[1m])", 0, 0},
        {"rate(ebs_read_latency_seconds_bucket{" + volume1 + ",le=\"0.000256\"}[5s])", 1710, 1890},
    };
    for (const row& r : rows) {
        std::vector<double> values = promql(prometheus_port, r.query);
        ASSERT_EQ(values.size(), 1u) << r.query;
        EXPECT_GE(values[0], r.low) << r.query;
        EXPECT_LE(values[0], r.high) << r.query;
    }
    stop_program(prometheus);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(exporter_port) + found("1 volume, 0 instance-storage disks")
                  + found("2 volumes, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

TEST(prometheus, two_servers_at_once_see_no_gap_and_no_reset)
{
    // Busy volumes, one of them slow enough that the two servers' scrapes
    // overlap, and one whose bin wraps while they scrape.
    std::vector<fleet_controller> controllers = {timed_volume(0), timed_volume(1), timed_volume(2)};
    controllers[1].delay_ms = 100; // a read, two commands, well within the deadline
    controllers[2].bin_offset = static_cast<uint32_t>(4294967296.0 - (500000 + 1500 * 20.0));
    fleet_scope bed(controllers);
    int exporter_port = free_port();
    fleet_process exporter = start_exporter(exporter_port);
    temporary_folder folders[2];
    int ports[2];
    pid_t servers[2];
    for (int i = 0; i < 2; i++)
        servers[i] = scraping_prometheus(folders[i].path, exporter_port, &ports[i]);
    sleep(15);
    struct row {
        std::string query;
        double low, high;
    } rows[] = {
        {"min_over_time(up[12s])", 1, 1},
        {"count_over_time(up[12s])", 11, 13}, // one scrape a second, none missed
        {"max_over_time(scrape_duration_seconds[12s])", 0, 1},
        {"min(min_over_time(ebs_scrape_success[12s]))", 1, 1},
        {"min(count_over_time(ebs_read_ops_total[12s]))", 11, 13},
        {"max(resets(ebs_read_ops_total[15s]))", 0, 0},
        {"max(resets(ebs_read_latency_seconds_bucket[15s]))", 0, 0},
        {"max(resets(ebs_read_latency_seconds_count[15s]))", 0, 0},
        {"min(rate(ebs_read_ops_total[5s]))", 2850, 3150},
    };
    for (int i = 0; i < 2; i++)
        for (const row& r : rows) {
            std::vector<double> values = promql(ports[i], r.query);
            ASSERT_EQ(values.size(), 1u) << "server " << i << ": " << r.query;
            EXPECT_GE(values[0], r.low) << "server " << i << ": " << r.query;
            EXPECT_LE(values[0], r.high) << "server " << i << ": " << r.query;
        }
    for (pid_t server : servers)
        stop_program(server);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(exporter_port) + found("3 volumes, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

TEST(node_exporter, reads_the_text_file)
{
    fleet_scope bed(live_volumes(3));
    temporary_folder folder;
    run_result written = fleet_run(
        exporter_binary, {"volscan-exporter", "--textfile.output=" + folder.path + "/ebs.prom"});
    ASSERT_EQ(written.status, 0) << written.err;
    int port = free_port();
    pid_t node_exporter = start_program(
        {"prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
         "--collector.textfile.directory=" + folder.path,
         "--web.listen-address=127.0.0.1:" + std::to_string(port)},
        "/dev/null");
    ASSERT_TRUE(wait_for_port(port, 10000));
    std::string page = http_body(http_get(port, "/metrics"));
    stop_program(node_exporter);
    EXPECT_EQ(lines_with(page, "node_textfile_scrape_error "),
              std::vector<std::string>{"node_textfile_scrape_error 0"});
    EXPECT_EQ(lines_with(page, "ebs_read_ops_total{").size(), 3u);
    EXPECT_EQ(lines_with(page, "ebs_read_latency_seconds_bucket{").size(), 3u * 10);
    EXPECT_EQ(lines_with(page, "ebs_volume_info{").size(), 3u);
}

// Clients that scrape as fast as they can: how many scrapes, how many failed.
void scrape_hard(int port, int clients, int seconds, int* scrapes, int* failures)
{
    std::atomic<int> done{0}, failed{0};
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++)
        threads.emplace_back([&] {
            while (std::chrono::steady_clock::now() < end) {
                std::string response = http_get(port, "/metrics");
                bool whole = http_status(response) == 200
                    && http_body(response).find("# TYPE ebs_scrape_duration_seconds gauge\n")
                        != std::string::npos;
                (whole ? done : failed)++;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    *scrapes = done;
    *failures = failed;
}

// 20 clients scrape as fast as they can for 10 seconds. The memory at the
// start is taken after five seconds of the same load, when the server's pools
// and the allocator's heap have grown to what 20 clients need.
TEST(load, twenty_clients_for_ten_seconds)
{
    fleet_scope bed(live_volumes(8));
    int port = free_port();
    // All 20 come from one address, which by default may hold only 8 connections.
    fleet_process exporter = start_exporter(port, {"--web.max-connections-per-address=32"});
    int scrapes, failures;
    scrape_hard(port, 20, 5, &scrapes, &failures);
    EXPECT_EQ(failures, 0);
    long before = resident_kib(exporter.pid);
    scrape_hard(port, 20, 10, &scrapes, &failures);
    long after = resident_kib(exporter.pid);
    printf("load: %d scrapes in 10 s by 20 clients, %d failed; resident memory %ld KiB at the "
           "start, %ld KiB at the end\n",
           scrapes, failures, before, after);
    EXPECT_EQ(failures, 0);
    EXPECT_GT(scrapes, 100);
    EXPECT_LE(std::abs(after - before), before * 5 / 100);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("8 volumes, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

// One scrape of the 27 volumes a machine can attach, against the README's
// jq recipe (volscan stats -j | jq, one pair per volume) doing the same.
TEST(benchmark, one_scrape_of_27_volumes_against_the_jq_recipe)
{
    const int volumes = 27;
    fleet_scope bed(live_volumes(volumes));
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    for (int i = 0; i < 5; i++)
        http_get(port, "/metrics");
    // Each scrape once the last reading has aged, so that it reads every device.
    const int scrapes = 20;
    double cpu_before = exporter_cpu_seconds(exporter.pid);
    double exporter_wall = 0;
    for (int i = 0; i < scrapes; i++) {
        usleep(past_reuse_us);
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(http_status(http_get(port, "/metrics")), 200);
        exporter_wall += seconds_since(start) / scrapes;
    }
    double exporter_cpu = (exporter_cpu_seconds(exporter.pid) - cpu_before) / scrapes;
    EXPECT_EQ(fleet_finish(exporter, SIGTERM).status, 0);

    temporary_folder folder;
    std::string volscan_folder = std::string(VOLSCAN_BINARY).substr(0, std::string(VOLSCAN_BINARY).rfind('/'));
    std::string recipe = "PATH=" + volscan_folder + ":$PATH; for k in $(seq 0 "
        + std::to_string(volumes - 1) + "); do volscan stats -j nvme$k | jq -r --arg dev nvme$k '"
        "to_entries[] | select(.value | type == \"number\") "
        "| \"ebs_\\(.key){device=\\\"\\($dev)\\\"} \\(.value)\"'; done > " + folder.path
        + "/ebs.prom.tmp && mv " + folder.path + "/ebs.prom.tmp " + folder.path + "/ebs.prom";
    std::vector<double> walls, cpus;
    for (int round = 0; round < 5; round++) {
        auto begun = std::chrono::steady_clock::now();
        fleet_process shell_run = fleet_spawn("/bin/sh", {"sh", "-c", recipe});
        struct rusage usage;
        run_result result = fleet_finish(shell_run, 0, &usage);
        walls.push_back(seconds_since(begun));
        ASSERT_EQ(result.status, 0) << result.err;
        cpus.push_back(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
                       + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    }
    EXPECT_EQ(lines_with(read_file(folder.path + "/ebs.prom"), "ebs_total_read_ops{").size(),
              static_cast<size_t>(volumes));
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    double recipe_wall = walls[2], recipe_cpu = cpus[2];
    printf("benchmark, %d volumes: exporter %.2f ms wall, %.2f ms CPU a scrape (mean of %d); "
           "jq recipe %.1f ms wall, %.1f ms CPU (median of 5); ratio %.0fx wall, %.0fx CPU\n",
           volumes, exporter_wall * 1e3, exporter_cpu * 1e3, scrapes, recipe_wall * 1e3,
           recipe_cpu * 1e3, recipe_wall / exporter_wall, recipe_cpu / exporter_cpu);
    EXPECT_GT(recipe_wall / exporter_wall, 20);
    EXPECT_GT(recipe_cpu / exporter_cpu, 20);
}

TEST(device_side, counts_the_refusals_left_out_once_their_minute_is_over)
{
    // A flood of refused records, then nothing: the line that counts those
    // left out of the log comes when their minute is over, not only with the
    // next refusal or the end of the link.
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    run_result result = fleet_run(DEVICE_SIDE_PROBE, {"device_side_probe", "flood-minute"});
    EXPECT_EQ(result.out, "flood: 1000 refused\n"
                          "its last line: volscan-exporter: device side: refused 984 more "
                          "records, beyond 16 lines a minute\n"
                          "a minute after the first refusal: yes\n"
                          "list: nvme0\n"
                          "device side ended with 0\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

TEST(prometheus, scrapes_through_tls_client_certificates_and_basic_auth)
{
    fleet_scope bed(live_volumes(2));
    temporary_folder folder;
    ASSERT_TRUE(make_certificates(folder.path));
    const std::string keys = folder.path + "/";
    FILE* web = fopen((keys + "web.yml").c_str(), "w");
    fprintf(web,
            "tls_server_config:\n  cert_file: ca-server.crt\n  key_file: ca-server.key\n"
            "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.crt\n"
            "  min_version: TLS13\n"
            "basic_auth_users:\n  alice: %s\n",
            read_file(keys + "alice.hash").c_str());
    fclose(web);
    int exporter_port = free_port();
    fleet_process exporter = start_exporter(exporter_port, {"--web.config.file=" + keys + "web.yml"});
    // Job good has it all; each other job lacks one thing and must be refused.
    FILE* config = fopen((keys + "prometheus.yml").c_str(), "w");
    fprintf(config, "global:\n  scrape_interval: 1s\nscrape_configs:\n");
    struct job {
        const char* name;
        const char* password;
        const char* client;
        double up;
    } jobs[] = {
        {"good", "secret", "ca-client", 1},
        {"wrong_password", "guess", "ca-client", 0},
        {"foreign_client", "secret", "other-client", 0},
    };
    for (const job& j : jobs)
        fprintf(config,
                "  - job_name: %s\n    scheme: https\n"
                "    basic_auth:\n      username: alice\n      password: %s\n"
                "    tls_config:\n      ca_file: %sca.crt\n      cert_file: %s%s.crt\n"
                "      key_file: %s%s.key\n"
                "    static_configs:\n      - targets: ['127.0.0.1:%d']\n",
                j.name, j.password, keys.c_str(), keys.c_str(), j.client, keys.c_str(), j.client,
                exporter_port);
    fclose(config);
    int prometheus_port = free_port();
    pid_t prometheus = start_program(
        {"prometheus", "--config.file=" + keys + "prometheus.yml",
         "--storage.tsdb.path=" + keys + "data",
         "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
        keys + "prometheus.log");
    ASSERT_TRUE(wait_for_port(prometheus_port, 30000)) << read_file(keys + "prometheus.log");
    for (int tries = 0; tries < 300 && promql(prometheus_port, "count(up)") != std::vector<double>{3};
         tries++)
        usleep(100000);
    sleep(3);
    for (const job& j : jobs)
        EXPECT_EQ(promql(prometheus_port, std::string("up{job=\"") + j.name + "\"}"),
                  std::vector<double>{j.up}) << j.name;
    EXPECT_EQ(promql(prometheus_port, "count(ebs_read_ops_total{job=\"good\"})"),
              std::vector<double>{2});
    EXPECT_EQ(promql(prometheus_port, "count(ebs_read_ops_total{job!=\"good\"})"),
              std::vector<double>{});
    stop_program(prometheus);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(exporter_port) + found("2 volumes, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}
