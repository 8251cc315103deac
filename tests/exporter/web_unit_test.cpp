// SPDX-License-Identifier: BSD-2-Clause
// Pieces of the web room and the web configuration alone: who counts as one
// client, and hostile configuration files, refused quickly.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

#include "exporter/web/deadlines.h"
#include "exporter/webconfig/webconfig.h"

namespace {

std::string key_text(const char* address, unsigned prefix)
{
    sockaddr_storage storage{};
    sockaddr* any = reinterpret_cast<sockaddr*>(&storage);
    if (strchr(address, ':') != nullptr) {
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        EXPECT_EQ(inet_pton(AF_INET6, address, &v6->sin6_addr), 1) << address;
    } else {
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, address, &v4->sin_addr), 1) << address;
    }
    address_key key;
    EXPECT_TRUE(key_of_address(any, prefix, &key));
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, key.bytes, text, sizeof text);
    return text;
}

} // namespace

// An IPv6 client counts by its prefix; an IPv4 one, in either form, by its address.
TEST(address_key, clients_by_prefix)
{
    struct row {
        const char* address;
        unsigned prefix;
        const char* key;
    } rows[] = {
        {"2001:db8:1:2:3:4:5:6", 64, "2001:db8:1:2::"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", 64, "2001:db8:1:2::"},
        {"2001:db8:1:2:3:4:5:6", 48, "2001:db8:1::"},
        {"2001:db8:1:2:3:4:5:6", 56, "2001:db8:1::"},
        {"2001:db8:1:2ff:3:4:5:6", 60, "2001:db8:1:2f0::"},
        {"2001:db8:1:2:3:4:5:6", 128, "2001:db8:1:2:3:4:5:6"},
        {"2001:db8:1:2:3:4:5:6", 1, "::"},
        {"fe80::1", 64, "fe80::"},
        {"::1", 64, "::"},
        {"192.0.2.7", 64, "::ffff:192.0.2.7"},
        {"::ffff:192.0.2.7", 64, "::ffff:192.0.2.7"},
        {"::ffff:192.0.2.8", 1, "::ffff:192.0.2.8"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.address) + "/" + std::to_string(r.prefix));
        EXPECT_EQ(key_text(r.address, r.prefix), r.key);
    }
    sockaddr other{};
    other.sa_family = AF_UNIX;
    address_key key;
    EXPECT_FALSE(key_of_address(&other, 64, &key));
    EXPECT_FALSE(key_of_address(nullptr, 64, &key));
}

// Files of up to 1 MiB shaped to make a parser slow (deep nesting, many keys,
// keys that differ only at their end, anchors and aliases) are refused at
// once, with the reason. The bound is generous: a loaded machine and a
// sanitizer build stay far below it, a parser that compares every pair or
// is quadratic in the depth far above.
TEST(web_config, hostile_files_refused_quickly)
{
    char folder_template[] = "/tmp/volscan-hostile-XXXXXX";
    ASSERT_NE(mkdtemp(folder_template), nullptr);
    const std::string folder = folder_template, path = folder + "/web.yml";
    const std::string hash = "$2y$05$TxPySFpQJtJfyKvaz4aVPOT1KPObZK0Re9S1WZfRqIcg3Db1.ZH/K";
    auto repeat = [](const std::string& text, size_t times) {
        std::string out;
        out.reserve(text.size() * times);
        for (size_t k = 0; k < times; k++)
            out += text;
        return out;
    };
    auto numbered = [](const std::string& before, const std::string& after, size_t count) {
        std::string out;
        for (size_t k = 0; k < count; k++)
            out += before + std::to_string(k) + after;
        return out;
    };
    std::string block_depth;
    for (int level = 0; block_depth.size() < 1000 * 1000; level++)
        block_depth += std::string(level, ' ') + "k:\n";
    // Names that share 900 bytes, all different; the last repeats the first.
    const std::string long_name(900, 'n');
    std::string long_names = "basic_auth_users:\n"
        + numbered("  " + long_name, ": " + hash + "\n", 999) + "  " + long_name + "0: " + hash + "\n";
    struct row {
        const char* name;
        std::string text;
        std::string error; // after the path
    } rows[] = {
        {"flow nesting", "basic_auth_users: " + repeat("[", 1000 * 1000 - 20),
         "line 1: nested more than 16 levels deep"},
        {"flow mappings", "basic_auth_users: " + repeat("{a: ", 250 * 1000),
         "line 1: nested more than 16 levels deep"},
        {"block nesting", block_depth, "line 17: nested more than 16 levels deep"},
        {"many users", "basic_auth_users:\n" + numbered("  u", ": x\n", 80 * 1000),
         "line 2: more than 1000 users"},
        {"many keys", numbered("k", ": x\n", 100 * 1000), "line 1: the file has more than 64 entries"},
        {"many headers", "http_server_config:\n  headers:\n" + numbered("    h", ": x\n", 70 * 1000),
         "line 3: headers has more than 64 entries"},
        {"names alike", long_names, "line 1001: " + long_name + "0 appears twice"},
        {"anchors", "tls_server_config:\n" + numbered("  - &a", " x\n", 40 * 1000)
                        + numbered("  - *a", "\n", 40 * 1000),
         "line 66: more than 64 anchors and aliases"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_LE(r.text.size(), most_file_bytes);
        FILE* file = fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fwrite(r.text.data(), 1, r.text.size(), file);
        fclose(file);
        web_config config{};
        config_watch seen{};
        char error[8192] = "";
        auto start = std::chrono::steady_clock::now();
        bool good = read_web_config(path.c_str(), nullptr, &config, &seen, error, sizeof error);
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_FALSE(good);
        EXPECT_EQ(std::string(error), path + ": " + r.error);
        EXPECT_LT(took, 2.0);
        if (good)
            free_config(&config);
    }
    unlink(path.c_str());
    rmdir(folder.c_str());
}
