// SPDX-License-Identifier: BSD-2-Clause
// What a client needs no password for cannot take the exporter from others:
// slow connections from one address or a few, the scrape timeout it asks
// for, and a hostile configuration file that the exporter reads meanwhile.
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

// Writes a file whole under a temporary name and renames it into place.
void put_file(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".new";
    FILE* file = fopen(temporary.c_str(), "w");
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
    rename(temporary.c_str(), path.c_str());
}

// Certificates and password hashes, made once for the tests that need them.
const std::string& keys()
{
    static temporary_folder folder;
    static bool made = make_certificates(folder.path);
    EXPECT_TRUE(made);
    return folder.path;
}

} // namespace

// Four addresses each open their share of connections (8 of 32) and send
// part of a request head, or nothing of a TLS handshake: the table is full.
// While it is that full, a head has a second rather than five, so a scrape
// from a fifth address, turned away at first, is served within a second or
// two, over plain HTTP and over TLS alike.
TEST(availability, slow_heads_from_four_addresses)
{
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain HTTP");
        temporary_folder folder;
        std::vector<std::string> options;
        if (tls) {
            put_file(folder.path + "/web.yml", "tls_server_config:\n  cert_file: " + keys()
                         + "/ca-server.crt\n  key_file: " + keys() + "/ca-server.key\n");
            options.push_back("--web.config.file=" + folder.path + "/web.yml");
        }
        int port = free_port();
        fleet_process exporter = start_exporter(port, options);
        std::vector<int> slow;
        for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"})
            for (int k = 0; k < 8; k++) {
                int connection = connect_from(source, port);
                ASSERT_GE(connection, 0);
                if (!tls)
                    send(connection, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
                slow.push_back(connection);
            }
        usleep(200000); // all accepted
        for (int connection : slow)
            EXPECT_FALSE(closed_by_server(connection, 0));

        // The scraper tries again at once when it is turned away at the door.
        steady::time_point start = steady::now();
        int status = 0;
        while (status != 200 && seconds_since(start) < 3) {
            int left_ms = 3000 - static_cast<int>(seconds_since(start) * 1000) + 100;
            if (tls) {
                int exit_status;
                std::string code = shell("curl -sS -m " + std::to_string(left_ms / 1000.0)
                                             + " -o /dev/null -w '%{http_code}' --cacert '" + keys()
                                             + "/ca.crt' https://127.0.0.1:" + std::to_string(port)
                                             + "/metrics 2>/dev/null",
                                         &exit_status);
                status = atoi(code.c_str());
            } else
                status = http_status(http_exchange(
                    port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                    left_ms));
            if (status != 200)
                usleep(50000);
        }
        EXPECT_EQ(status, 200);
        EXPECT_LT(seconds_since(start), 3.0);

        // Enough of the slow ones were closed at about a second to make
        // room; once the table is no longer that full, the rest have 5 s.
        int closed = 0;
        steady::time_point looked = steady::now();
        for (int connection : slow) {
            int left_ms = 1500 - static_cast<int>(seconds_since(looked) * 1000);
            closed += closed_by_server(connection, left_ms > 0 ? left_ms : 0);
            close(connection);
        }
        EXPECT_GE(closed, 8);
        run_result result = end_within(exporter, SIGTERM, 5);
        EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
        EXPECT_EQ(result.status, 0);
    }
}

// A configuration file shaped to make a parser slow is refused at once when
// it is read again, and meanwhile the deadlines go on being enforced: a slow
// head is closed at its time, and SIGTERM ends the exporter.
TEST(availability, hostile_configuration_keeps_deadlines)
{
    fleet_scope bed({plain(fleet_ebs_volume(0))});
    temporary_folder folder;
    std::string path = folder.path + "/web.yml";
    put_file(path, "basic_auth_users:\n  alice: " + read_file(keys() + "/alice.hash") + "\n");
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    // The port opens before the file is read: a 401 says the users are in
    // force, so that what comes next is a reload and not the first read.
    steady::time_point started = steady::now();
    while (http_status(http_get(port, "/metrics")) != 401 && seconds_since(started) < 5)
        usleep(50000);
    steady::time_point opened = steady::now();
    int slow = connect_from("127.0.0.2", port);
    ASSERT_GE(slow, 0);
    send(slow, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
    put_file(path, "basic_auth_users: " + std::string(1000 * 1000 - 100, '['));
    // The reload comes within a second; the head's 5 s run on.
    EXPECT_TRUE(closed_by_server(slow, 8000));
    double closed = seconds_since(opened);
    EXPECT_GE(closed, 4.5);
    EXPECT_LE(closed, 7.0);
    close(slow);
    steady::time_point stop = steady::now();
    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_LT(seconds_since(stop), 2.0);
    EXPECT_EQ(result.err, start_line(port)
                  + "volscan-exporter: cannot read --web.config.file again, keeping the "
                    "configuration in force: " + path + ": line 1: nested more than 16 levels deep\n");
    EXPECT_EQ(result.status, 0);
}

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
