// SPDX-License-Identifier: BSD-2-Clause
// volscan-exporter against hostile and careless clients: TLS suites and
// client certificates with openssl and curl, malformed Basic headers, a
// flood of wrong passwords, and passwords left in the metrics side's memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace {

// Certificates and password hashes made for this run (see SetUpTestSuite).
std::string keys;

std::string hash_of(const char* user) { return read_file(keys + "/" + user + ".hash"); }

std::string write_config(const std::string& folder, const std::string& text)
{
    std::string path = folder + "/web.yml";
    std::string temporary = path + ".new";
    FILE* file = fopen(temporary.c_str(), "w");
    fputs(text.c_str(), file);
    fclose(file);
    rename(temporary.c_str(), path.c_str());
    return path;
}

std::string tls_lines(const char* server = "ca-server")
{
    return std::string("tls_server_config:\n  cert_file: ") + keys + "/" + server
        + ".crt\n  key_file: " + keys + "/" + server + ".key\n";
}

struct curl_result {
    int exit_status;
    int http_code;
};

// curl from source address from to the exporter on 127.0.0.1:port; bounded
// to 5 seconds.
curl_result curl(int port, const std::string& options, const char* scheme = "https",
                 const char* from = "127.0.0.1")
{
    curl_result r{};
    std::string code = shell("cd '" + keys + "' && curl -sS -m 5 -o /dev/null -w '%{http_code}' "
                                 + "--interface " + from + " " + options + " " + scheme
                                 + "://127.0.0.1:" + std::to_string(port) + "/metrics 2>/dev/null",
                             &r.exit_status);
    r.http_code = atoi(code.c_str());
    return r;
}

std::vector<fleet_controller> one_volume()
{
    fleet_controller volume;
    volume.fixture = fleet_ebs_volume(0);
    volume.fixture.live = false;
    volume.fixture.pages = {ebs_volume().pages[0]};
    return {volume};
}

class web_security : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static temporary_folder folder;
        keys = folder.path;
        ASSERT_TRUE(make_certificates(keys));
        // An RSA server certificate, which static-RSA suites could use; a
        // certificate from the trusted CA issued for servers alone, offered
        // by a client; carol, whose hash costs more than the others'; dave,
        // whose password is found nowhere else.
        int status;
        std::string out = shell(
            "cd '" + keys + "' && set -e && exec 2>&1\n"
            "openssl req -newkey rsa:2048 -nodes -keyout rsa-server.key -out rsa-server.csr "
            "-subj /CN=server 2>/dev/null\n"
            "openssl x509 -req -in rsa-server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
            "-extfile server.ext -out rsa-server.crt 2>/dev/null\n"
            "printf 'extendedKeyUsage=serverAuth\\n' >server-only.ext\n"
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout server-purpose.key -out server-purpose.csr -subj /CN=client 2>/dev/null\n"
            "openssl x509 -req -in server-purpose.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
            "-days 2 -extfile server-only.ext -out server-purpose.crt 2>/dev/null\n"
            "htpasswd -nbBC 8 carol costly | cut -d: -f2 | tr -d '\\n' >carol.hash\n"
            "htpasswd -nbBC 5 dave 'Zq7-only-in-this-test-4c1f' | cut -d: -f2 | tr -d '\\n' "
            ">dave.hash\n"
            "htpasswd -nbBC 5 dave 'Yp2-dave-changed-it-9e0a' | cut -d: -f2 | tr -d '\\n' "
            ">dave-changed.hash\n"
            "htpasswd -nbBC 4 erin cheap | cut -d: -f2 | tr -d '\\n' >erin.hash\n"
            "htpasswd -nbBC 11 frank dear | cut -d: -f2 | tr -d '\\n' >frank.hash\n"
            "chmod a+r *.key\n",
            &status);
        ASSERT_EQ(status, 0) << out;
    }
};

// How many of process pid's threads are running or waiting for a processor
// (state R): a thread that waits its turn at a lock sleeps instead, however
// busy the machine is.
int runnable_threads(pid_t pid)
{
    std::string folder = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(folder.c_str());
    int count = 0;
    while (dirent* entry = tasks ? readdir(tasks) : nullptr) {
        if (entry->d_name[0] == '.')
            continue;
        std::string stat = read_file(folder + "/" + entry->d_name + "/stat");
        size_t end = stat.rfind(')');
        count += end != std::string::npos && stat.compare(end, 3, ") R") == 0;
    }
    if (tasks)
        closedir(tasks);
    return count;
}

// Whether text is anywhere in the readable memory of process pid.
bool in_memory(pid_t pid, const std::string& text)
{
    std::string maps = read_file("/proc/" + std::to_string(pid) + "/maps");
    int memory = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(memory, 0);
    bool found = false;
    size_t regions = 0;
    for (const std::string& line : lines_with(maps, "")) {
        unsigned long start, end;
        char permissions[5];
        if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, permissions) != 3
            || permissions[0] != 'r' || line.find("[vvar]") != std::string::npos)
            continue;
        // A sanitizer's shadow memory is mapped by the terabyte and holds no text.
        if (end - start > (256ul << 20))
            continue;
        regions++;
        std::string chunk(1 << 20, '\0');
        for (unsigned long at = start; at < end && !found;) {
            size_t size = std::min<unsigned long>(chunk.size(), end - at);
            ssize_t got = pread(memory, chunk.data(), size, static_cast<off_t>(at));
            if (got <= 0)
                break;
            found = std::string_view(chunk.data(), got).find(text) != std::string_view::npos;
            // Chunks overlap so that text across two of them is seen.
            at += got < static_cast<ssize_t>(text.size()) ? got : got - text.size() + 1;
        }
    }
    close(memory);
    EXPECT_GT(regions, 10u);
    return found;
}

} // namespace

// Static RSA key exchange and CBC ciphers are refused; of the rest the
// server's order applies, in TLS 1.2 and 1.3 alike.
TEST_F(web_security, tls_suites)
{
    fleet_scope bed(one_volume());
    temporary_folder folder;
    std::string path = write_config(folder.path, tls_lines("rsa-server"));
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    struct row {
        const char* offer; // s_client's options
        int exit_status;
        const char* chosen; // after "Cipher is "
    } rows[] = {
        {"-tls1_2 -cipher AES128-SHA:@SECLEVEL=0", 1, "(NONE)"},
        {"-tls1_2 -cipher AES256-GCM-SHA384", 1, "(NONE)"},
        {"-tls1_2 -cipher ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA384", 1, "(NONE)"},
        {"-tls1_2 -cipher DHE-RSA-AES128-GCM-SHA256", 1, "(NONE)"},
        {"-tls1_2 -cipher ECDHE-RSA-CHACHA20-POLY1305", 0, "ECDHE-RSA-CHACHA20-POLY1305"},
        {"-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384", 0,
         "ECDHE-RSA-AES256-GCM-SHA384"},
        {"-tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384", 0,
         "TLS_AES_256_GCM_SHA384"},
        {"-tls1_3 -ciphersuites TLS_AES_128_CCM_SHA256", 1, "(NONE)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.offer);
        int status;
        std::string out = shell("timeout 5 openssl s_client -connect 127.0.0.1:" + std::to_string(port)
                                    + " -CAfile '" + keys + "/ca.crt' " + r.offer
                                    + " </dev/null 2>/dev/null",
                                &status);
        EXPECT_EQ(status, r.exit_status);
        std::vector<std::string> cipher = lines_with(out, "New, ");
        ASSERT_EQ(cipher.size(), 1u) << out;
        EXPECT_EQ(cipher[0].substr(cipher[0].find("Cipher is ") + 10), r.chosen);
    }
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port));
    EXPECT_EQ(result.status, 0);
}

// A client certificate must come from the client CAs and be meant for
// clients; one that is not, or none where one is required, ends the TLS 1.2
// handshake (curl: 35) rather than a request already read (curl: 52).
TEST_F(web_security, client_certificates_in_the_handshake)
{
    fleet_scope bed(one_volume());
    temporary_folder folder;
    const std::string none = "", good = "--cert ca-client.crt --key ca-client.key",
                      server_purpose = "--cert server-purpose.crt --key server-purpose.key",
                      rogue = "--cert other-client.crt --key other-client.key";
    struct row {
        const char* policy;
        const std::string& client;
        int exit_status; // curl's
        int http_code;
    } rows[] = {
        {"RequireAndVerifyClientCert", none, 35, 0},
        {"RequireAndVerifyClientCert", good, 0, 200},
        {"RequireAndVerifyClientCert", server_purpose, 35, 0},
        {"RequireAndVerifyClientCert", rogue, 35, 0},
        {"VerifyClientCertIfGiven", none, 0, 200},
        {"VerifyClientCertIfGiven", good, 0, 200},
        {"VerifyClientCertIfGiven", server_purpose, 35, 0},
        {"VerifyClientCertIfGiven", rogue, 35, 0},
    };
    int port = free_port();
    fleet_process exporter{};
    std::string policy;
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.policy) + " " + r.client);
        if (policy != r.policy) {
            if (exporter.pid > 0) {
                EXPECT_EQ(fleet_finish(exporter, SIGTERM).status, 0);
            }
            policy = r.policy;
            std::string path = write_config(folder.path, tls_lines() + "  client_auth_type: "
                                                + policy + "\n  client_ca_file: " + keys
                                                + "/ca.crt\n");
            port = free_port();
            exporter = start_exporter(port, {"--web.config.file=" + path});
        }
        curl_result result = curl(port, "--cacert ca.crt --tls-max 1.2 " + r.client);
        EXPECT_EQ(result.exit_status, r.exit_status);
        EXPECT_EQ(result.http_code, r.http_code);
    }
    // In TLS 1.3 the server ends its handshake after the client: a client
    // refused there has sent its request already and sees the connection
    // close, as it would after the request (curl: 52 or 55), but never gets in.
    curl_result late = curl(port, "--cacert ca.crt --tlsv1.3 " + server_purpose);
    EXPECT_NE(late.exit_status, 0);
    EXPECT_EQ(late.http_code, 0);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

// The Authorization header is taken apart exactly: a NUL byte, a wrong
// scheme or broken base64 gets 401, never a shortened password that passes.
TEST_F(web_security, basic_header_forms)
{
    fleet_scope bed(one_volume());
    temporary_folder folder;
    std::string path = write_config(folder.path, "basic_auth_users:\n  alice: " + hash_of("alice")
                                        + "\n");
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    auto base64 = [](const char* printf_format) {
        return shell(std::string("printf '") + printf_format + "' | base64 -w0");
    };
    struct row {
        std::string authorization; // "": no header
        int status;
    } rows[] = {
        {"Basic " + base64("alice:secret"), 200},
        {"basic " + base64("alice:secret"), 200},
        {"Basic   " + base64("alice:secret"), 200},
        {"", 401},
        {"Basic " + base64("alice:secret\\0junk"), 401},
        {"Basic " + base64("alice\\0:secret"), 401},
        {"Basic " + base64("alice:secret:"), 401},
        {"Basic " + base64("alicesecret"), 401},
        {"Basic " + base64("alice:secret").substr(1), 401},
        {"Basic YWxpY2U6c2Vj!mV0", 401},
        {"Basic", 401},
        {"Bearer " + base64("alice:secret"), 401},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.authorization);
        std::string response = http_exchange(
            port, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                      + (r.authorization.empty() ? "" : "Authorization: " + r.authorization + "\r\n")
                      + "\r\n");
        EXPECT_EQ(http_status(response), r.status) << response.substr(0, response.find("\r\n\r\n"));
        if (r.status == 401) {
            EXPECT_EQ(http_body(response), "Unauthorized\n");
            EXPECT_NE(response.find("\r\nWWW-Authenticate: Basic realm=\"volscan-exporter\"\r\n"),
                      std::string::npos)
                << response;
        }
    }
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

// Wrong passwords from one address, six at a time: the metrics side computes
// one bcrypt at a time, and a right password from another address gets in
// meanwhile, waiting behind at most the six.
TEST_F(web_security, flood_of_wrong_passwords)
{
    fleet_scope bed(one_volume());
    temporary_folder folder;
    std::string path = write_config(folder.path, "basic_auth_users:\n  alice: " + hash_of("alice")
                                        + "\n  carol: " + hash_of("carol") + "\n");
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    // carol:wrong, and a name nobody has, which costs as much.
    const char* const wrong[] = {"Y2Fyb2w6d3Jvbmc=", "bWFsbG9yeTp3cm9uZw=="};
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0}, granted{0};
    std::vector<std::thread> flood;
    for (int k = 0; k < 6; k++)
        flood.emplace_back([&, k] {
            std::string request = std::string("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                              "Connection: close\r\nAuthorization: Basic ")
                + wrong[k % 2] + "\r\n\r\n";
            // A connection over a limit per address may be closed unanswered.
            while (!stop.load()) {
                int status = http_status(http_exchange(port, request, 5000));
                refused += status == 401;
                granted += status != 401 && status != 0;
            }
        });
    usleep(500000); // the flood under way
    // The metrics side's threads that compute, sampled for a second and a half
    // while the right password is tried from another address.
    int samples = 0, runnable = 0;
    std::thread sampler([&] {
        for (; samples < 150; samples++) {
            runnable += runnable_threads(exporter.pid);
            usleep(10000);
        }
    });
    usleep(500000);
    auto asked = std::chrono::steady_clock::now();
    curl_result right = curl(port, "-u alice:secret", "http", "127.0.0.2");
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    sampler.join();
    stop = true;
    for (std::thread& t : flood)
        t.join();
    EXPECT_EQ(right.exit_status, 0);
    EXPECT_EQ(right.http_code, 200);
    EXPECT_LT(waited, 1.5);
    EXPECT_GT(refused.load(), 20);
    EXPECT_EQ(granted.load(), 0);
    // One bcrypt at a time, and the short work around the others' requests;
    // six bcrypts at once would keep about six threads runnable.
    EXPECT_LT(runnable / static_cast<double>(samples), 3.0) << "runnable threads on average";
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

// A password that got in is remembered without being kept; and when its
// user is removed it no longer gets in, though it was remembered.
TEST_F(web_security, remembered_passwords)
{
    fleet_scope bed(one_volume());
    temporary_folder folder;
    const std::string dave_password = "Zq7-only-in-this-test-4c1f";
    std::string path = write_config(folder.path, "basic_auth_users:\n  alice: " + hash_of("alice")
                                        + "\n  dave: " + hash_of("dave") + "\n");
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    for (int k = 0; k < 2; k++) {
        EXPECT_EQ(curl(port, "-u dave:" + dave_password, "http").http_code, 200);
        EXPECT_EQ(curl(port, "-u alice:secret", "http").http_code, 200);
    }
    EXPECT_FALSE(in_memory(exporter.pid, dave_password));
    EXPECT_TRUE(in_memory(exporter.pid, hash_of("dave"))); // the search itself works
    write_config(folder.path, "basic_auth_users:\n  alice: " + hash_of("alice") + "\n");
    EXPECT_EQ(curl(port, "-u dave:" + dave_password, "http").http_code, 401);
    EXPECT_EQ(curl(port, "-u alice:secret", "http").http_code, 200);
    EXPECT_FALSE(in_memory(exporter.pid, dave_password));
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

// A user given a new password hash: the old password, remembered from before,
// no longer gets in, and the new one does.
TEST_F(web_security, changed_password_refused)
{
    fleet_scope bed(one_volume());
    temporary_folder folder;
    const std::string old_password = "Zq7-only-in-this-test-4c1f",
                      new_password = "Yp2-dave-changed-it-9e0a";
    std::string path = write_config(folder.path, "basic_auth_users:\n  dave: " + hash_of("dave") + "\n");
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    for (int k = 0; k < 2; k++)
        EXPECT_EQ(curl(port, "-u dave:" + old_password, "http").http_code, 200);
    EXPECT_EQ(curl(port, "-u dave:" + new_password, "http").http_code, 401);
    write_config(folder.path, "basic_auth_users:\n  dave: " + hash_of("dave-changed") + "\n");
    EXPECT_EQ(curl(port, "-u dave:" + old_password, "http").http_code, 401);
    EXPECT_EQ(curl(port, "-u dave:" + new_password, "http").http_code, 200);
    EXPECT_EQ(curl(port, "-u dave:" + old_password, "http").http_code, 401);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

// A refusal takes as long as the decoy's bcrypt, whoever is named: a wrong
// password for erin, whose hash costs 4, as long as a name nobody has, which
// is checked against a decoy as costly as frank's 11 (0.1 s or so). The
// times are compared within the run, with room for a busy machine.
TEST_F(web_security, refusals_take_as_long_as_the_decoy)
{
    fleet_scope bed(one_volume());
    temporary_folder folder;
    std::string path = write_config(folder.path, "basic_auth_users:\n  erin: " + hash_of("erin")
                                        + "\n  frank: " + hash_of("frank") + "\n");
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    auto seconds_for = [&](const char* credentials) {
        std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                              "Authorization: Basic " + shell(std::string("printf ") + credentials
                                                              + " | base64 -w0") + "\r\n\r\n";
        auto start = std::chrono::steady_clock::now();
        int status = http_status(http_exchange(port, request, 5000));
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(status, 401) << credentials;
        return took;
    };
    std::vector<double> unknown, wrong;
    for (int k = 0; k < 4; k++) {
        unknown.push_back(seconds_for("mallory:cheap"));
        wrong.push_back(seconds_for("erin:dear"));
    }
    std::sort(unknown.begin(), unknown.end());
    std::sort(wrong.begin(), wrong.end());
    // The least of each: what the check itself costs, with the least of the
    // machine's other load in it.
    EXPECT_GT(unknown[0], 0.02) << "the decoy costs 11";
    EXPECT_GE(wrong[0], 0.7 * unknown[0]) << "wrong password " << wrong[0] << " s, unknown name "
                                          << unknown[0] << " s";
    EXPECT_EQ(curl(port, "-u erin:cheap", "http").http_code, 200);
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

// After the TLS key is replaced, no line of the old one is left in the
// metrics side's memory: the configuration's copies, the file's text and the
// retired server's copy are wiped once they are done with. The new key is
// found there, which shows that the search works.
TEST_F(web_security, old_key_wiped_after_rotation)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed blocks whole in its quarantine";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer keeps freed blocks whole in its quarantine";
#endif
#endif
    fleet_scope bed(one_volume());
    temporary_folder folder;
    shell("cp '" + keys + "/ca-server.crt' '" + folder.path + "/server.crt' && cp '" + keys
          + "/ca-server.key' '" + folder.path + "/server.key' && chmod a+r '" + folder.path
          + "/server.key'");
    std::string path = write_config(folder.path,
                                     "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n");
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    EXPECT_EQ(curl(port, "--cacert ca.crt").http_code, 200);
    // The new pair, each file renamed into place, the key first.
    shell("cd '" + folder.path + "' && cp '" + keys + "/other-server.key' new.key && chmod a+r new.key "
          "&& cp '" + keys + "/other-server.crt' new.crt && mv new.key server.key && mv new.crt server.crt");
    bool renewed = false;
    for (int tries = 0; tries < 50 && !renewed; tries++) {
        renewed = curl(port, "--cacert other.crt").http_code == 200;
        if (!renewed)
            usleep(100000);
    }
    ASSERT_TRUE(renewed);
    // The retired server, its connections ended, is stopped within a second or two.
    sleep(3);
    auto key_lines = [](const std::string& pem) {
        std::vector<std::string> lines;
        for (const std::string& line : lines_with(pem, ""))
            if (line.rfind("-----", 0) != 0 && line.size() >= 20)
                lines.push_back(line);
        return lines;
    };
    std::vector<std::string> old_lines = key_lines(read_file(keys + "/ca-server.key"));
    ASSERT_GE(old_lines.size(), 2u);
    for (const std::string& line : old_lines)
        EXPECT_FALSE(in_memory(exporter.pid, line)) << line;
    EXPECT_TRUE(in_memory(exporter.pid, key_lines(read_file(keys + "/other-server.key"))[0]));
    run_result result = fleet_finish(exporter, SIGTERM);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 0 instance-storage disks"));
    EXPECT_EQ(result.status, 0);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
