// SPDX-License-Identifier: BSD-2-Clause
// volscan-exporter's web configuration against curl and openssl: TLS, client
// certificates, basic authentication, files that are refused, changes that
// apply while it runs; and gzip.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <unistd.h>

#include "exporter/webconfig/webconfig.h"
#include "harness.h"

namespace {

// Certificates and password hashes made for this run (see make_certificates).
std::string keys;

std::string hash_of(const char* user) { return read_file(keys + "/" + user + ".hash"); }

// Replaces a file the way an editor or a certificate manager does: a new
// file renamed over the old one.
void put_file(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".new";
    FILE* file = fopen(temporary.c_str(), "w");
    fputs(text.c_str(), file);
    fclose(file);
    rename(temporary.c_str(), path.c_str());
}

struct curl_result {
    int exit_status;
    int http_code;
    std::string headers, body;
};

// curl to the exporter on port with more options; bounded to 5 seconds.
curl_result curl(int port, const std::string& options, const char* scheme = "https",
                 const std::string& path = "/metrics")
{
    temporary_folder out;
    curl_result r{};
    std::string code = shell("cd '" + (keys.empty() ? "/" : keys) + "' && curl -sS -m 5 -o '" + out.path + "/body' -D '"
                                 + out.path + "/headers' -w '%{http_code}' " + options + " "
                                 + scheme + "://127.0.0.1:" + std::to_string(port) + path
                                 + " 2>/dev/null",
                             &r.exit_status);
    r.http_code = atoi(code.c_str());
    r.headers = read_file(out.path + "/headers");
    r.body = read_file(out.path + "/body");
    return r;
}

// volscan-exporter run to its end, for at most seconds.
run_result run_within(std::vector<std::string> argv, double seconds)
{
    // The machine need not have the exporter's own user.
    bool user = false;
    for (const std::string& word : argv)
        user = user || word.rfind("--web.user=", 0) == 0;
    if (!user)
        argv.push_back("--web.user=nobody");
    fleet_process process = fleet_spawn(exporter_binary, argv);
    return end_within(process, 0, seconds);
}

std::vector<fleet_controller> two_devices()
{
    fleet_controller volume, disk;
    volume.fixture = fleet_ebs_volume(0);
    volume.fixture.live = false;
    volume.fixture.pages = {ebs_volume().pages[0]}; // the same page at every scrape
    disk.fixture = instance_storage();
    return {volume, disk};
}

// What the web configuration's parser makes of a file, read in this process.
struct web_config_reading {
    bool good;
    std::string error;
};

web_config_reading read_web_config_here(const std::string& path)
{
    struct web_config config{};
    config_watch seen{};
    char error[8192] = "";
    bool good = read_web_config(path.c_str(), nullptr, &config, &seen, error, sizeof error);
    if (good)
        free_config(&config);
    return {good, error};
}

std::string put_web_config(const std::string& folder, const std::string& text)
{
    std::string path = folder + "/web.yml";
    put_file(path, text);
    return path;
}

std::string tls_lines(const char* ca = "ca")
{
    return std::string("tls_server_config:\n  cert_file: ") + keys + "/" + ca
        + "-server.crt\n  key_file: " + keys + "/" + ca + "-server.key\n";
}

// The page without its durations, which change from scrape to scrape.
std::string without_durations(const std::string& page)
{
    std::string kept;
    for (const std::string& line : lines_with(page, ""))
        if (line.rfind("ebs_scrape_duration_seconds{", 0) != 0)
            kept += line + "\n";
    return kept;
}

class web : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static temporary_folder folder;
        keys = folder.path;
        ASSERT_TRUE(make_certificates(keys));
    }
};

} // namespace

TEST_F(web, files_refused_at_start)
{
    fleet_scope bed({});
    temporary_folder folder;
    std::string hash = hash_of("alice");
    std::string many_users = "basic_auth_users:\n";
    for (int k = 0; k <= 1000; k++)
        many_users += "  user" + std::to_string(k) + ": " + hash + "\n";
    std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(free_port());
    struct row {
        std::string text;
        std::string error; // after "volscan-exporter: invalid --web.config.file: FILE: "
        bool library_reason = false; // the TLS library's own words follow
    } rows[] = {
        {"tls_server_config: [\n", "line 2: did not find expected node content"},
        {"tls_server_config:\n  cert_file: a\n key_file: b\n", "line 3: did not find expected key"},
        {"- a\n- b\n", "line 1: the file must be a mapping"},
        {"basic_auth_users:\n  alice: x\n  alice: y\n", "line 3: alice appears twice"},
        {"web:\n  x: 1\n", "line 1: unknown key web"},
        {"tls_server_config:\n  cert_file: " + keys + "/ca-server.crt\n",
         "line 2: tls_server_config needs key_file or key"},
        {"tls_server_config:\n  cert_file: missing.crt\n  key_file: missing.key\n",
         "line 2: cannot read " + folder.path + "/missing.crt: No such file or directory"},
        {tls_lines() + "  key: inline\n", "line 4: both key_file and key are set: use one"},
        {"tls_server_config:\n  cert_file: " + keys + "/ca-server.crt\n  key_file: " + keys
             + "/other-server.key\n",
         "the TLS certificate and key do not load: ", true},
        {tls_lines() + "  client_auth_type: RequireAnyClientCert\n",
         "client_auth_type RequireAnyClientCert is not supported (NoClientCert, "
         "VerifyClientCertIfGiven or RequireAndVerifyClientCert)"},
        {tls_lines() + "  client_auth_type: RequireAndVerifyClientCert\n",
         "line 2: client_auth_type RequireAndVerifyClientCert needs client_ca_file or client_ca"},
        {tls_lines() + "  client_ca_file: " + keys + "/ca.crt\n",
         "line 2: client CAs are set but client_auth_type is NoClientCert: set "
         "RequireAndVerifyClientCert"},
        {tls_lines() + "  min_version: TLS13\n  max_version: TLS12\n",
         "line 2: min_version is above max_version"},
        {tls_lines() + "  min_version: SSL30\n",
         "line 4: min_version must be TLS10, TLS11, TLS12 or TLS13"},
        {tls_lines() + "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n",
         "line 4: cipher_suites is not supported: the TLS library's own choice applies"},
        {tls_lines() + "  client_allowed_sans: [client]\n",
         "line 4: client_allowed_sans is not supported: any client the CAs vouch for is let in"},
        {"http_server_config:\n  http2: true\n",
         "line 2: http2: true is not supported: the server speaks HTTP/1.1"},
        {"http_server_config:\n  headers:\n    Set-Cookie: a\n", "line 3: header Set-Cookie cannot be set"},
        {"basic_auth_users:\n  alice: secret\n",
         "line 2: the password of alice is not a bcrypt hash ($2y$, $2b$ or $2a$)"},
        {"basic_auth_users:\n  \"a:b\": " + hash + "\n",
         "line 2: user name \"a:b\" is empty, too long or holds a colon"},
        {"rate_limit:\n  interval: 1s\n", "line 2: rate_limit is not supported"},
        {many_users, "line 2: more than 1000 users"},
        {"#" + std::string(1024 * 1024, '#') + "\n",
         "cannot read " + folder.path + "/web.yml: larger than 1024 KiB"},
    };
    // The parser is read in this process, a row at a time; how the exporter
    // tells a refusal, and that it then does not start, the file that is
    // missing below shows.
    for (const row& r : rows) {
        std::string path = put_web_config(folder.path, r.text);
        web_config_reading reading = read_web_config_here(path);
        std::string shown = r.text.substr(0, 200);
        EXPECT_FALSE(reading.good) << shown;
        std::string expected = path + ": " + r.error;
        if (r.library_reason) {
            EXPECT_EQ(reading.error.substr(0, expected.size()), expected) << shown;
            EXPECT_GT(reading.error.size(), expected.size()) << shown;
        } else {
            EXPECT_EQ(reading.error, expected) << shown;
        }
    }
    run_result missing = run_within({"volscan-exporter", listen,
                                     "--web.config.file=/nonexistent/web.yml"}, 10);
    EXPECT_EQ(missing.err, "volscan-exporter: invalid --web.config.file: /nonexistent/web.yml: "
                           "cannot read /nonexistent/web.yml: No such file or directory\n");
    EXPECT_EQ(missing.status, 1);
}

// Only regular files, of at most 1 MiB, are read: a FIFO would block the
// read, a device or a huge file would fill the memory.
TEST_F(web, files_that_are_not_plain_refused_at_once)
{
    fleet_scope bed({});
    std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(free_port());
    std::string cert = "tls_server_config:\n  cert_file: " + keys + "/ca-server.crt\n";
    struct row {
        const char* make;   // a shell command run in the folder first
        std::string config; // written to web.yml unless make made it
        std::string error;  // after "volscan-exporter: invalid --web.config.file: FOLDER/web.yml: "
    } rows[] = {
        {"mkfifo web.yml", "", "cannot read @/web.yml: not a regular file"},
        {"mkdir web.yml", "", "cannot read @/web.yml: not a regular file"},
        {"mkfifo key.pem", cert + "  key_file: key.pem\n",
         "line 3: cannot read @/key.pem: not a regular file"},
        {"", "tls_server_config:\n  cert_file: /dev/zero\n  key_file: x\n",
         "line 2: cannot read /dev/zero: not a regular file"},
        {"head -c 1048577 /dev/zero >key.pem", cert + "  key_file: key.pem\n",
         "line 3: cannot read @/key.pem: larger than 1024 KiB"},
    };
    for (row& r : rows) {
        SCOPED_TRACE(r.make);
        temporary_folder folder;
        shell("cd '" + folder.path + "' && " + (r.make[0] ? r.make : "true"));
        std::string path = folder.path + "/web.yml";
        if (!r.config.empty())
            put_web_config(folder.path, r.config);
        for (size_t at; (at = r.error.find('@')) != std::string::npos;)
            r.error.replace(at, 1, folder.path);
        auto start = std::chrono::steady_clock::now();
        run_result result = run_within({"volscan-exporter", listen, "--web.config.file=" + path}, 10);
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "volscan-exporter: invalid --web.config.file: " + path + ": "
                                  + r.error + "\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_LT(took, 3);
    }
}

// A user of the test's own, and a group it is not yet in; removed at the end.
struct test_account {
    std::string user, group;
    test_account()
    {
        std::string tag = std::to_string(getpid());
        user = "vsweb" + tag;
        group = "vskeys" + tag;
        shell("useradd --system --no-create-home --shell /usr/sbin/nologin " + user
              + " && groupadd --system " + group);
    }
    ~test_account() { shell("userdel " + user + "; groupdel " + group); }
};

// The TLS key where Debian keeps keys: in a folder that root owns and whose
// group (ssl-cert there) may only pass through (mode 0710).
TEST_F(web, key_behind_a_group)
{
    fleet_scope bed(two_devices());
    test_account account;
    ASSERT_NE(shell("id -u " + account.user), "");
    temporary_folder folder;
    shell("cd '" + folder.path + "' && mkdir -m 0710 private && cp '" + keys
          + "/ca-server.key' private/server.key && chmod 0640 private/server.key");
    std::string path = put_web_config(folder.path, "tls_server_config:\n  cert_file: " + keys
                                                   + "/ca-server.crt\n  key_file: private/server.key\n");
    int port = free_port();
    std::vector<std::string> options = {"--web.config.file=" + path, "--web.user=" + account.user};

    // Not in the group: the start stops, naming the file and the user.
    run_result refused = run_within({"volscan-exporter", "--web.listen-address=127.0.0.1:"
                                     + std::to_string(port), options[0], options[1]}, 10);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "volscan-exporter: invalid --web.config.file: " + path
                               + ": line 3: cannot read " + folder.path
                               + "/private/server.key: Permission denied (the metrics side reads it "
                                 "as user " + account.user + ")\n");
    EXPECT_EQ(refused.status, 1);

    // In the group: it serves, and reads the key again when it changes.
    shell("cd '" + folder.path + "' && chgrp " + account.group + " private private/server.key && "
          "gpasswd -a " + account.user + " " + account.group + " >/dev/null");
    fleet_process exporter = start_exporter(port, options);
    EXPECT_EQ(curl(port, "--cacert ca.crt").http_code, 200);
    shell("touch -d '1 minute ago' '" + folder.path + "/private/server.key'");
    EXPECT_EQ(curl(port, "--cacert ca.crt").http_code, 200);
    EXPECT_EQ(curl(port, "--cacert ca.crt").http_code, 200);
    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 1 instance-storage disk")); // the key read again without a complaint
    EXPECT_EQ(result.status, 0);
}

TEST_F(web, tls_and_basic_auth)
{
    fleet_scope bed(two_devices());
    // Relative paths are the file's folder's: here, the certificates'.
    std::string path = put_web_config(keys,
        "tls_server_config:\n  cert_file: ca-server.crt\n  key_file: ca-server.key\n"
        "http_server_config:\n  headers:\n    X-Frame-Options: deny\n"
        "basic_auth_users:\n  alice: " + hash_of("alice") + "\n  bob: " + hash_of("bob") + "\n");
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    struct row {
        const char* options;
        const char* scheme;
        int exit_status; // curl's
        int http_code;
    } rows[] = {
        {"--cacert ca.crt", "https", 0, 401},
        {"--cacert ca.crt -u alice:wrong", "https", 0, 401},
        {"--cacert ca.crt -u mallory:secret", "https", 0, 401},
        {"--cacert ca.crt -u alice:hunter2", "https", 0, 401},
        {"--cacert ca.crt -u alice:secret", "https", 0, 200},
        {"--cacert ca.crt -u bob:hunter2", "https", 0, 200},
        {"--cacert other.crt -u alice:secret", "https", 60, 0}, // not the server's CA
        {"--cacert ca.crt -u alice:secret --tls-max 1.1", "https", 35, 0}, // below TLS 1.2
        {"-u alice:secret", "http", 52, 0},                     // plain HTTP on the TLS port
    };
    for (const row& r : rows) {
        curl_result result = curl(port, r.options, r.scheme);
        SCOPED_TRACE(std::string(r.scheme) + " " + r.options);
        EXPECT_EQ(result.exit_status, r.exit_status);
        EXPECT_EQ(result.http_code, r.http_code);
        if (r.http_code == 401) {
            EXPECT_NE(result.headers.find("\r\nWWW-Authenticate: Basic realm=\"volscan-exporter\"\r\n"),
                      std::string::npos) << result.headers;
            EXPECT_EQ(result.body, "Unauthorized\n");
        }
        if (r.http_code != 0) {
            EXPECT_NE(result.headers.find("\r\nX-Frame-Options: deny\r\n"), std::string::npos)
                << result.headers;
        }
    }
    std::string page = curl(port, "--cacert ca.crt -u alice:secret").body;
    EXPECT_EQ(lines_with(page, "ebs_read_ops_total{").size(), 1u) << page;
    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 1 instance-storage disk"));
    EXPECT_EQ(result.status, 0);
}

TEST_F(web, client_certificates)
{
    fleet_scope bed(two_devices());
    temporary_folder folder;
    struct policy {
        const char* type;
        int without;        // curl's exit status with no client certificate, in TLS 1.2
    } policies[] = {
        {"RequireAndVerifyClientCert", 35}, // the handshake fails
        {"VerifyClientCertIfGiven", 0},
    };
    for (const policy& p : policies) {
        SCOPED_TRACE(p.type);
        std::string path = put_web_config(folder.path, tls_lines() + "  client_auth_type: " + p.type
                                          + "\n  client_ca_file: " + keys + "/ca.crt\n");
        int port = free_port();
        fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
        EXPECT_EQ(curl(port, "--cacert ca.crt --tls-max 1.2").exit_status, p.without);
        curl_result good = curl(port, "--cacert ca.crt --cert ca-client.crt --key ca-client.key");
        EXPECT_EQ(good.exit_status, 0);
        EXPECT_EQ(good.http_code, 200);
        // A certificate from a CA the server does not trust is turned away either way.
        curl_result rogue =
            curl(port, "--cacert ca.crt --cert other-client.crt --key other-client.key");
        EXPECT_NE(rogue.exit_status, 0);
        EXPECT_EQ(rogue.http_code, 0);
        run_result result = end_within(exporter, SIGTERM, 5);
        EXPECT_EQ(result.err, start_line(port) + found("1 volume, 1 instance-storage disk"));
        EXPECT_EQ(result.status, 0);
    }
}

// Polls until curl with these options gets want, for up to 5 seconds.
bool comes_to(int port, const std::string& options, int want)
{
    for (int tries = 0; tries < 50; tries++) {
        if (curl(port, options).http_code == want)
            return true;
        usleep(100000);
    }
    return false;
}

TEST_F(web, changes_apply_without_restart)
{
    fleet_scope bed(two_devices());
    temporary_folder folder;
    // The test's own copy of the TLS material, which it breaks and mends.
    shell("cp '" + keys + "/ca-server.crt' '" + folder.path + "/server.crt' && cp '" + keys
          + "/ca-server.key' '" + folder.path + "/server.key'");
    const std::string tls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";
    const std::string only_bob = tls + "basic_auth_users:\n  bob: " + hash_of("bob") + "\n";
    std::string path = put_web_config(folder.path, tls + "basic_auth_users:\n  alice: "
                                                    + hash_of("alice") + "\n");
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    const std::string alice = "--cacert ca.crt -u alice:secret";
    const std::string bob = "--cacert ca.crt -u bob:hunter2";
    EXPECT_EQ(curl(port, alice).http_code, 200);
    EXPECT_EQ(curl(port, bob).http_code, 401);

    // The users change: at once, at the next request.
    put_web_config(folder.path, only_bob);
    EXPECT_EQ(curl(port, bob).http_code, 200);
    EXPECT_EQ(curl(port, alice).http_code, 401);

    // Files that break: the configuration in force stays, each fault is told
    // once however often the file is put back broken, and its mending once.
    const std::string certificate = read_file(folder.path + "/server.crt");
    struct fault {
        const char* name;
        std::function<void()> break_it, mend_it;
    } faults[] = {
        {"broken YAML", [&] { put_web_config(folder.path, tls + "basic_auth_users: [\n"); },
         [&] { put_web_config(folder.path, only_bob); }},
        {"a FIFO",
         [&] { shell("cd '" + folder.path + "' && mkfifo web.yml.new && mv web.yml.new web.yml"); },
         [&] { put_web_config(folder.path, only_bob); }},
        {"a broken certificate",
         [&] { put_file(folder.path + "/server.crt", "-----BEGIN CERTIFICATE-----\nbroken\n"
                                                     "-----END CERTIFICATE-----\n"); },
         [&] { put_file(folder.path + "/server.crt", certificate); }},
    };
    for (const fault& f : faults) {
        SCOPED_TRACE(f.name);
        for (int again = 0; again < 2; again++) {
            f.break_it();
            curl_result kept = curl(port, bob);
            EXPECT_EQ(kept.exit_status, 0); // within curl's 5 s, with the certificate in force
            EXPECT_EQ(kept.http_code, 200);
            EXPECT_EQ(curl(port, alice).http_code, 401);
        }
        f.mend_it();
        EXPECT_EQ(curl(port, bob).http_code, 200);
    }

    // A new certificate, from another CA: new connections get it within a second or two.
    put_web_config(folder.path, tls_lines("other") + "basic_auth_users:\n  bob: " + hash_of("bob") + "\n");
    EXPECT_TRUE(comes_to(port, "--cacert other.crt -u bob:hunter2", 200));
    EXPECT_EQ(curl(port, bob).exit_status, 60); // the old CA no longer vouches for the server

    run_result result = end_within(exporter, SIGTERM, 5);
    const std::string kept = "volscan-exporter: cannot read --web.config.file again, keeping the "
                             "configuration in force: " + path + ": ";
    const std::string again = "volscan-exporter: --web.config.file " + path + " reads again\n";
    std::string expected = start_line(port) + found("1 volume, 1 instance-storage disk") + kept
        + "line 5: did not find expected node content\n" + again + kept + "cannot read " + path
        + ": not a regular file\n" + again + kept + "the TLS certificate and key do not load: ";
    // GnuTLS's own words end that line.
    size_t reason_end = result.err.find('\n', std::min(expected.size(), result.err.size()));
    ASSERT_NE(reason_end, std::string::npos) << result.err;
    EXPECT_EQ(result.err.substr(0, expected.size()), expected);
    EXPECT_GT(reason_end, expected.size());
    EXPECT_EQ(result.err.substr(reason_end + 1), again);
    EXPECT_EQ(result.status, 0);
}

TEST(gzip, same_page_either_way)
{
    fleet_scope bed(two_devices());
    // An empty web configuration: plain HTTP, open to all.
    temporary_folder folder;
    int port = free_port();
    fleet_process exporter =
        start_exporter(port, {"--web.config.file=" + put_web_config(folder.path, "")});
    struct row {
        const char* accept; // null: no Accept-Encoding
        bool gzip;
    } rows[] = {
        {nullptr, false},
        {"gzip", true},
        {"deflate, gzip;q=1.0, *;q=0.5", true},
        {"br;q=1.0, gzip;q=0.8, *;q=0.1", true},
        {"*", true},
        {"gzip;q=0", false},
        {"identity", false},
        {"deflate, br", false},
        {"*;q=0, identity", false},
    };
    std::string plain = without_durations(curl(port, "", "http").body);
    EXPECT_EQ(lines_with(plain, "ebs_read_ops_total{").size(), 1u) << plain;
    for (const row& r : rows) {
        SCOPED_TRACE(r.accept ? r.accept : "(none)");
        std::string header = r.accept ? std::string("-H 'Accept-Encoding: ") + r.accept + "'" : "";
        curl_result raw = curl(port, header, "http");
        EXPECT_EQ(raw.http_code, 200);
        EXPECT_NE(raw.headers.find("\r\nVary: Accept-Encoding\r\n"), std::string::npos);
        EXPECT_EQ(raw.headers.find("\r\nContent-Encoding: gzip\r\n") != std::string::npos, r.gzip)
            << raw.headers;
        std::string page = raw.body;
        if (r.gzip) {
            EXPECT_LT(raw.body.size(), plain.size() / 4);
            // gzip -t checks the trailer's length and CRC too.
            temporary_folder unpack;
            FILE* file = fopen((unpack.path + "/page.gz").c_str(), "w");
            fwrite(raw.body.data(), 1, raw.body.size(), file);
            fclose(file);
            int status;
            page = shell("timeout 5 gzip -dc '" + unpack.path + "/page.gz'", &status);
            EXPECT_EQ(status, 0);
        }
        EXPECT_EQ(without_durations(page), plain);
    }
    EXPECT_EQ(end_within(exporter, SIGTERM, 5).status, 0);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// A folder of the configuration replaced by another, renamed into its place
// as deployment tools do, with the old one removed: the new folder's file is
// read, so that a user it no longer lists is refused, and that is logged.
TEST_F(web, replaced_folder_followed)
{
    fleet_scope bed(two_devices());
    temporary_folder folder;
    const std::string users = "basic_auth_users:\n  alice: " + hash_of("alice") + "\n";
    const std::string conf = folder.path + "/conf";
    shell("mkdir '" + conf + "' '" + conf + ".new'");
    std::string path = put_web_config(conf, users + "  bob: " + hash_of("bob") + "\n");
    put_web_config(conf + ".new", users);
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    EXPECT_EQ(curl(port, "-u bob:hunter2", "http").http_code, 200);
    EXPECT_EQ(curl(port, "-u alice:secret", "http").http_code, 200);
    int status;
    shell("cd '" + folder.path + "' && mv conf conf.old && mv conf.new conf && rm -r conf.old",
          &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(curl(port, "-u bob:hunter2", "http").http_code, 401);
    EXPECT_EQ(curl(port, "-u alice:secret", "http").http_code, 200);
    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 1 instance-storage disk") + "volscan-exporter: --web.config.file: the folder " + conf
                  + " was replaced: reading the new one\n");
    EXPECT_EQ(result.status, 0);
}

// A mounted Kubernetes Secret: its files are links through ..data to a
// folder named for its time, and an update makes a new such folder, swaps
// ..data to it in one rename and removes the old one. The new users apply,
// and nothing is logged.
TEST_F(web, secret_volume_update_followed)
{
    fleet_scope bed(two_devices());
    temporary_folder folder;
    const std::string secret = folder.path + "/secret";
    const std::string users = "basic_auth_users:\n  alice: " + hash_of("alice") + "\n";
    int status;
    shell("mkdir -p '" + secret + "/..2026_12_11_07_00_00.1' && cd '" + secret
              + "' && ln -s ..2026_12_11_07_00_00.1 ..data && ln -s ..data/web.yml web.yml",
          &status);
    ASSERT_EQ(status, 0);
    put_file(secret + "/..2026_12_11_07_00_00.1/web.yml", users + "  bob: " + hash_of("bob") + "\n");
    std::string path = secret + "/web.yml";
    int port = free_port();
    fleet_process exporter = start_exporter(port, {"--web.config.file=" + path});
    EXPECT_EQ(curl(port, "-u bob:hunter2", "http").http_code, 200);
    shell("mkdir '" + secret + "/..2026_12_11_07_05_00.2'", &status);
    put_file(secret + "/..2026_12_11_07_05_00.2/web.yml", users);
    shell("cd '" + secret + "' && ln -s ..2026_12_11_07_05_00.2 ..data_tmp && mv -T ..data_tmp ..data"
              + " && rm -r ..2026_12_11_07_00_00.1",
          &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(curl(port, "-u bob:hunter2", "http").http_code, 401);
    EXPECT_EQ(curl(port, "-u alice:secret", "http").http_code, 200);
    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 1 instance-storage disk"));
    EXPECT_EQ(result.status, 0);
}

// The server that takes new TLS material fails to start once: the old one
// serves on, and the new one is tried again until it starts, so that a CA
// taken off the list of client CAs stops vouching, and the new one vouches.
TEST_F(web, failed_tls_restart_tried_again)
{
    fleet_scope bed(two_devices());
    temporary_folder folder;
    auto config = [&](const char* ca) {
        return tls_lines() + "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: "
            + keys + "/" + ca + ".crt\n";
    };
    std::string path = put_web_config(folder.path, config("ca"));
    int port = free_port();
    fleet_process exporter = fleet_spawn(
        exporter_binary,
        {"volscan-exporter", "--web.listen-address=127.0.0.1:" + std::to_string(port),
         "--web.user=nobody", "--web.config.file=" + path},
        {"WEB_START_FAULT=2", "LD_PRELOAD=" WEB_START_FAULT ":" BED_SHIM ":libumockdev-preload.so.0"});
    ASSERT_TRUE(wait_for_port(port, 5000));
    const std::string old_client = "--cacert ca.crt --cert ca-client.crt --key ca-client.key",
                      new_client = "--cacert ca.crt --cert other-client.crt --key other-client.key";
    EXPECT_EQ(curl(port, old_client).http_code, 200);
    put_web_config(folder.path, config("other"));
    EXPECT_TRUE(comes_to(port, new_client, 200));
    EXPECT_EQ(curl(port, old_client).http_code, 0);
    run_result result = end_within(exporter, SIGTERM, 5);
    EXPECT_EQ(result.err, start_line(port) + found("1 volume, 1 instance-storage disk")
                  + "volscan-exporter: cannot start the HTTP server with the new TLS material; the "
                    "old serves on, and it is tried again every second\n"
                    "volscan-exporter: the HTTP server started with the new TLS material\n");
    EXPECT_EQ(result.status, 0);
}
