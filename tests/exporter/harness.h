// SPDX-License-Identifier: BSD-2-Clause
// Pieces the exporter's tests share: the programs, a free port, a raw HTTP
// client, and running other programs (promtool, curl) off the bed.
#pragma once

#include <string>
#include <vector>

#include "fleet.h"

// The device side answers a controller from a reading begun less than 0.9 s
// before; a test that wants the device read again waits this long, in
// microseconds.
constexpr unsigned past_reuse_us = 1100 * 1000;

// A controller that plays fixture, attached from the start.
fleet_controller plain(const controller_fixture& fixture);

// A volume whose pages hold these counts in the first read bin (0 to 100 us),
// one page a sample, the last one from then on; 7 in the second bin.
controller_fixture wrapping_volume(int index, std::vector<uint32_t> counts);

// The process whose parent is pid (the exporter's device side); -1 if none.
pid_t child_of(pid_t pid);

// A TCP port on 127.0.0.1 that nobody listens on.
int free_port();

// Sends request as it stands on a new connection to 127.0.0.1:port and
// returns all the server sent until it closed; "" when it could not connect.
// The connection is given up after timeout_ms.
std::string http_exchange(int port, const std::string& request, int timeout_ms = 5000);

// GET or HEAD of path with Connection: close.
std::string http_get(int port, const std::string& path, const char* method = "GET");

// The status code of a response, and its body.
int http_status(const std::string& response);
std::string http_body(const std::string& response);

// volscan-exporter on the bed, listening on 127.0.0.1:port once this returns;
// its metrics side is user nobody unless more gives a --web.user.
fleet_process start_exporter(int port, const std::vector<std::string>& more = {});

// Sends signal (0: none) and waits for the process to end, for at most
// seconds; then kills it (its status is then 128 + SIGKILL). As fleet_finish.
run_result end_within(fleet_process& process, int signal_number, double seconds);

// Runs a shell command off the bed; returns its standard output, and its
// exit status in *status.
std::string shell(const std::string& command, int* status = nullptr);

// The lines of a program's standard error, sorted: lines that threads write
// at once come in any order.
std::vector<std::string> sorted_lines(const std::string& text);

// The line an exporter listening on 127.0.0.1:port logs at start.
std::string start_line(int port, int threads = 8);

// The line the exporter logs of the devices it found, at the first scrape and
// when they change: found("3 volumes, 1 instance-storage disk").
std::string found(const std::string& counts);

// The lines the exporter logs for the mixed fleet: what it found, and its
// failing controllers.
extern const std::vector<std::string> mixed_fleet_log;

// The lines of a page that begin with prefix.
std::vector<std::string> lines_with(const std::string& page, const std::string& prefix);

// The value of the one sample "name{labels}" in a page; -1 when missing.
double sample_value(const std::string& page, const std::string& series);

// promtool check metrics on a page: its output (empty when clean) and status.
run_result promtool_check(const std::string& page);

extern const char exporter_binary[];

// Starts a program off the bed (Prometheus, node_exporter) with its output
// in log_path; stop_program ends it with SIGTERM and waits for it.
pid_t start_program(const std::vector<std::string>& argv, const std::string& log_path);
void stop_program(pid_t pid);

// A Prometheus server with its files in folder, listening on 127.0.0.1:port,
// that scrapes the exporters on target_ports as job ebs and evaluates
// rule_files, both every second. -1 when it did not listen within 30 s; its
// log is folder/prometheus.log.
pid_t start_prometheus(const std::string& folder, int port, const std::vector<int>& target_ports,
                       const std::vector<std::string>& rule_files = {});

// Waits until something listens on 127.0.0.1:port; false after timeout_ms.
bool wait_for_port(int port, int timeout_ms);

// A folder under /tmp, removed with everything in it at the end of scope.
struct temporary_folder {
    std::string path;
    temporary_folder();
    ~temporary_folder();
};

std::string read_file(const std::string& path);

// Makes in folder, with openssl and htpasswd: two CAs (ca, other), each with
// a server certificate for 127.0.0.1 and localhost ($ca-server.crt/.key) and
// a client certificate ($ca-client.crt/.key); and bcrypt hashes of alice's
// password "secret" and bob's "hunter2" (alice.hash, bob.hash). False after
// a diagnostic when a step failed.
bool make_certificates(const std::string& folder);
