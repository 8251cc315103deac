// SPDX-License-Identifier: BSD-2-Clause
// What a client needs no password for cannot take the exporter from others:
// slow connections from one address, and the scrape timeout it asks for.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using steady = std::chrono::steady_clock;

double seconds_since(steady::time_point start)
{
    return std::chrono::duration<double>(steady::now() - start).count();
}

// A connection from source (an address of the loopback network) to the
// exporter on 127.0.0.1:port; -1 when it cannot be made.
int connect_from(const char* source, int port)
{
    int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(connection, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0
        || connect(connection, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(connection);
        return -1;
    }
    return connection;
}

// Whether the server has closed the connection (an end of stream or a reset
// waits to be read), looking for up to timeout_ms.
bool closed_by_server(int connection, int timeout_ms)
{
    pollfd wait{connection, POLLIN, 0};
    if (poll(&wait, 1, timeout_ms) <= 0)
        return false;
    char byte;
    return recv(connection, &byte, 1, MSG_DONTWAIT) <= 0;
}

// A whole GET of /metrics from source; the response, "" when none came within 5 s.
std::string get_from(const char* source, int port)
{
    int connection = connect_from(source, port);
    if (connection < 0)
        return "";
    std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    send(connection, request.data(), request.size(), MSG_NOSIGNAL);
    std::string response;
    steady::time_point start = steady::now();
    char chunk[65536];
    for (;;) {
        int left = 5000 - static_cast<int>(seconds_since(start) * 1000);
        pollfd wait{connection, POLLIN, 0};
        if (left <= 0 || poll(&wait, 1, left) <= 0)
            break;
        ssize_t got = recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0)
            break;
        response.append(chunk, got);
    }
    close(connection);
    return response;
}

} // namespace

// One address opens every connection it can and sends a request head one line
// every 1.5 s, as slowly as the server's inactivity timeout allows. It gets a
// quarter of the connections, which the deadline for a head then closes; a
// scraper from another address is served meanwhile.
TEST(availability, slow_clients_from_one_address)
{
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.max-connections=8"});
    const int tries = 8;
    steady::time_point opened = steady::now();
    std::vector<int> slow;
    for (int k = 0; k < tries; k++) {
        int connection = connect_from("127.0.0.2", port);
        ASSERT_GE(connection, 0);
        send(connection, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
        slow.push_back(connection);
    }
    // The connections past the address's share are closed at once.
    usleep(500000);
    std::vector<int> held;
    for (int connection : slow) {
        if (closed_by_server(connection, 0))
            close(connection);
        else
            held.push_back(connection);
    }
    EXPECT_EQ(held.size(), 2u);

    steady::time_point start = steady::now();
    EXPECT_EQ(http_status(http_exchange(port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                              "Connection: close\r\n\r\n", 3000)), 200);
    EXPECT_LT(seconds_since(start), 3);

    // The held ones trickle on until the server closes them, or for 12 s.
    std::vector<double> closed_at(held.size(), -1);
    size_t open = held.size();
    for (int line = 0; open > 0 && seconds_since(opened) < 12; line++) {
        for (size_t k = 0; k < held.size(); k++) {
            if (closed_at[k] >= 0)
                continue;
            std::string header = "X-Slow-" + std::to_string(line) + ": 1\r\n";
            send(held[k], header.data(), header.size(), MSG_NOSIGNAL);
        }
        steady::time_point round = steady::now();
        while (seconds_since(round) < 1.5 && open > 0)
            for (size_t k = 0; k < held.size(); k++)
                if (closed_at[k] < 0 && closed_by_server(held[k], 50)) {
                    closed_at[k] = seconds_since(opened);
                    open--;
                }
    }
    for (size_t k = 0; k < held.size(); k++) {
        SCOPED_TRACE("held connection " + std::to_string(k));
        // A head has 5 s, looked at every second.
        EXPECT_GE(closed_at[k], 4.5);
        EXPECT_LE(closed_at[k], 7.5);
        close(held[k]);
    }
    // The address is not shut out: once the server has let the closed ones go
    // (their threads end a moment after the shutdown), a whole request of its
    // own is served.
    int status = 0;
    for (int tries = 0; tries < 20 && status != 200; tries++) {
        usleep(100000);
        status = http_status(get_from("127.0.0.2", port));
    }
    EXPECT_EQ(status, 200);

    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

// The scrape timeout a client sends is kept between 0.5 s and --scrape.timeout.
TEST(availability, scrape_timeout_header_bounded)
{
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--scrape.timeout=1.5"});
    const std::string success =
        "ebs_scrape_success{volume_id=\"" + fleet_volume_id(0) + "\",device=\"nvme0n1\"}";
    struct row {
        const char* header;
        int delay_ms; // the device's
        double success;
        double least, most; // seconds the scrape takes
    } rows[] = {
        {"0.001", 200, 1, 0.15, 1.0}, // waits 0.5 s, not half a millisecond
        {"3600", 4000, 0, 1.4, 2.5},  // waits 1.5 s, not an hour
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.header);
        usleep(past_reuse_us); // so that the device is read, not the reading before reused
        fleet_set_delay(0, r.delay_ms);
        steady::time_point start = steady::now();
        std::string response = http_exchange(
            port, std::string("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "X-Prometheus-Scrape-Timeout-Seconds: ") + r.header
                      + "\r\nConnection: close\r\n\r\n", 6000);
        double took = seconds_since(start);
        EXPECT_EQ(http_status(response), 200);
        EXPECT_EQ(sample_value(http_body(response), success), r.success);
        EXPECT_GE(took, r.least);
        EXPECT_LE(took, r.most);
    }
    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks")
                  + "volscan-exporter: nvme0n1 (nvme0): did not answer within 1.5 s\n");
    EXPECT_EQ(result.status, 0);
}
