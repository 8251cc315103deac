// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/options.h"

namespace {

struct interval_case {
    const char* text;
    bool accepted;
    uint64_t seconds;
};

const interval_case intervals[] = {
    {"0", true, 0},           {"-0", true, 0},          {"1", true, 1},
    {"0x10", true, 16},       {"0XfF", true, 255},      {"010", true, 8},
    {"  7", true, 7},         {"+7", true, 7},          {"4294967295", true, 4294967295u},
    {"0xFFFFFFFF", true, 4294967295u},
    {"4294967296", false, 0}, {"0x100000000", false, 0}, {"-1", false, 0},
    {"18446744073709551615", false, 0}, {"18446744073709551616", false, 0},
    {"", false, 0},           {" ", false, 0},          {"-", false, 0},
    {"+", false, 0},          {"0x", false, 0},         {"5s", false, 0},
    {"08", false, 0},         {"1 ", false, 0},         {"x", false, 0},
};

TEST(parse_interval, accepts_whole_numbers_up_to_32_bits)
{
    for (const interval_case& c : intervals) {
        uint64_t seconds = 12345;
        bool accepted = parse_interval(c.text, &seconds);
        EXPECT_EQ(accepted, c.accepted) << '"' << c.text << '"';
        if (c.accepted) {
            EXPECT_EQ(seconds, c.seconds) << '"' << c.text << '"';
        }
    }
}

struct parsed {
    const char* mode;
    std::string operand;
    option_set settings;
};

parsed parse(std::vector<std::string> words)
{
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    settings = option_set{};
    optind = 0; // glibc starts afresh
    parsed result;
    result.operand = parse_command_line(static_cast<int>(words.size()), argv.data(), &result.mode);
    result.settings = settings;
    return result;
}

TEST(parse_command_line, chooses_mode_by_name_or_word)
{
    EXPECT_STREQ(parse({"volscan", "id", "d"}).mode, "id");
    EXPECT_STREQ(parse({"volscan", "stats", "d"}).mode, "stats");
    EXPECT_STREQ(parse({"/usr/bin/volscan-id", "d"}).mode, "id");
    EXPECT_STREQ(parse({"./volscan-stats", "d"}).mode, "stats");
}

TEST(parse_command_line, sets_flags_and_keeps_the_last_interval)
{
    parsed p = parse({"volscan", "id", "-b", "-s", "--", "/dev/nvme0"});
    EXPECT_EQ(p.operand, "/dev/nvme0");
    EXPECT_TRUE(p.settings.want_bdev);
    EXPECT_TRUE(p.settings.want_serial);
    EXPECT_FALSE(p.settings.want_model || p.settings.want_volume || p.settings.json_output);

    p = parse({"volscan-id", "-umv", "nvme0n1"});
    EXPECT_TRUE(p.settings.want_bdev && p.settings.want_model && p.settings.want_volume);
    EXPECT_FALSE(p.settings.want_serial);

    p = parse({"volscan", "stats", "-i", "7", "-ji0x3", "nvme1"});
    EXPECT_EQ(p.operand, "nvme1");
    EXPECT_TRUE(p.settings.json_output);
    EXPECT_EQ(p.settings.interval, 3u);
}

TEST(parse_command_line, operand_that_looks_like_an_option)
{
    EXPECT_EQ(parse({"volscan-stats", "--", "-j"}).operand, "-j");
}

} // namespace
