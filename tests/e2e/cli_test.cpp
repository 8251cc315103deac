// SPDX-License-Identifier: BSD-2-Clause
// Invocation names, subcommands, options and the interval, each row with and
// without POSIXLY_CORRECT: glibc's getopt must neither reorder arguments nor
// change its answer with it.
#include "e2e.h"

namespace {

std::string usage_after(const std::string& line) { return line + usage; }

const expect_run command_lines[] = {
    // Names and subcommands.
    {{"volscan"}, "", usage, 1},
    {{}, "", ": don't know who I am\n", 1},
    {{""}, "", ": don't know who I am\n", 1},
    {{"volscan-foo", "id", "nvme0"}, "", "volscan-foo: don't know who I am\n", 1},
    {{"/usr/bin/Volscan", "id", "nvme0"}, "", "Volscan: don't know who I am\n", 1},
    {{"volscan", "foo", "nvme0"}, "", usage, 1},
    {{"volscan", "ID", "nvme0"}, "", usage, 1},
    {{"volscan", "-v", "id", "nvme0"}, "", usage, 1},
    {{"volscan", "id", "nvme0"}, ebs_identity, "", 0},
    {{"/usr/local/sbin/volscan-id", "nvme0"}, ebs_identity, "", 0},
    {{"../volscan-stats", "-j", "nvme0"}, example_json, "", 0},
    {{"volscan", "stats", "nvme0"}, example_text, "", 0},
    {{"volscan-id", "id", "nvme0"}, "", usage, 1},
    // Operands: exactly one, after the options.
    {{"volscan", "id"}, "", usage, 1},
    {{"volscan-stats"}, "", usage, 1},
    {{"volscan", "id", "nvme0", "nvme0"}, "", usage, 1},
    {{"volscan", "id", "nvme0", "-v"}, "", usage, 1},
    {{"volscan-id", "nvme0", "-v"}, "", usage, 1},
    {{"volscan", "id", "--", "nvme0"}, ebs_identity, "", 0},
    {{"volscan", "id", "--", "-v", "nvme0"}, "", usage, 1},
    // Options of the other mode.
    {{"volscan", "id", "-j", "nvme0"}, "", usage, 1},
    {{"volscan", "id", "-i", "5", "nvme0"}, "", usage, 1},
    {{"volscan", "id", "-i", "0", "nvme0"}, ebs_identity, "", 0},
    {{"volscan", "stats", "-u", "nvme0"}, "", usage, 1},
    {{"volscan-stats", "-m", "nvme0"}, "", usage, 1},
    {{"volscan", "stats", "-i", "0", "-s", "nvme0"}, "", usage, 1},
    // getopt's own diagnostics carry the invocation name, not a path or the subcommand.
    {{"volscan", "id", "-x", "nvme0"}, "", usage_after("volscan: invalid option -- 'x'\n"), 1},
    {{"/usr/bin/volscan", "stats", "-?", "nvme0"}, "", usage_after("volscan: invalid option -- '?'\n"), 1},
    {{"/sbin/volscan-stats", "-i"}, "", usage_after("volscan-stats: option requires an argument -- 'i'\n"), 1},
    {{"volscan", "stats", "-ji"}, "", usage_after("volscan: option requires an argument -- 'i'\n"), 1},
    {{"volscan-id", "-vq", "nvme0"}, "", usage_after("volscan-id: invalid option -- 'q'\n"), 1},
    // The interval is checked as it is read, before the mode is.
    {{"volscan", "id", "-i", "x", "nvme0"}, "", "volscan: invalid argument to -i: x\n", 1},
    {{"volscan", "stats", "-i", "4294967296", "nvme0"}, "", "volscan: invalid argument to -i: 4294967296\n", 1},
    {{"volscan", "stats", "-i", "-1", "nvme0"}, "", "volscan: invalid argument to -i: -1\n", 1},
    {{"volscan", "stats", "-i", "5s", "nvme0"}, "", "volscan: invalid argument to -i: 5s\n", 1},
    {{"volscan", "stats", "-i", "", "nvme0"}, "", "volscan: invalid argument to -i: \n", 1},
    {{"volscan", "stats", "-i", " ", "nvme0"}, "", "volscan: invalid argument to -i:  \n", 1},
    {{"volscan", "stats", "-i", "0x", "nvme0"}, "", "volscan: invalid argument to -i: 0x\n", 1},
    {{"volscan", "stats", "-i", "08", "nvme0"}, "", "volscan: invalid argument to -i: 08\n", 1},
    {{"volscan", "stats", "-i", "99999999999999999999", "nvme0"}, "", "volscan: invalid argument to -i: 99999999999999999999\n", 1},
    {{"volscan-stats", "-i", "x", "-u", "nvme0"}, "", "volscan-stats: invalid argument to -i: x\n", 1},
    {{"volscan", "stats", "-i", "-0", "nvme0"}, example_text, "", 0},
    {{"volscan", "stats", "-i", "5", "-i", "0", "-j", "-j", "nvme0"}, example_json, "", 0},
    {{"volscan", "id", "-v", "-v", "-u", "-b", "nvme0"}, ebs_identity, "", 0},
};

struct command_line_test : ::testing::TestWithParam<std::tuple<expect_run, bool>> {};

TEST_P(command_line_test, prints_exactly)
{
    auto [run, posixly_correct] = GetParam();
    bed_set_primary(ebs_volume());
    run_options options;
    if (posixly_correct)
        options.env.push_back("POSIXLY_CORRECT=1");
    check_run(run, options);
}

INSTANTIATE_TEST_SUITE_P(table, command_line_test,
                         ::testing::Combine(::testing::ValuesIn(command_lines), ::testing::Bool()));

// An accepted interval is the polling period: the message shows it and the
// sleep between samples uses it. The second sample fails, which ends the run.
struct interval_case {
    const char* text;
    const char* seconds;
};

const interval_case intervals[] = {
    {"1", "1"}, {"0x10", "16"}, {"0X10", "16"}, {"010", "8"}, {" +7", "7"}, {"4294967295", "4294967295"},
};

void PrintTo(const interval_case& c, std::ostream* os) { *os << c.text; }

struct interval_test : ::testing::TestWithParam<interval_case> {};

TEST_P(interval_test, sets_the_polling_period)
{
    controller_fixture fixture = ebs_volume();
    fixture.log_fail_from = 1;
    fixture.log_status = 0x0004; // Invalid Field
    bed_set_primary(fixture);
    char log_name[] = "/tmp/bed-sleep-XXXXXX";
    close(mkstemp(log_name));
    run_options options;
    options.env.push_back(std::string("BED_SLEEP_LOG=") + log_name);
    std::string seconds = GetParam().seconds;
    check_run({{"volscan-stats", "-i", GetParam().text, "nvme0"},
               "Polling EBS stats every " + seconds + " sec(s); press Ctrl+C to stop\n" + example_text,
               "volscan-stats: log page request returned error\n", 1},
              options);
    FILE* log = fopen(log_name, "r");
    char line[64] = "";
    ASSERT_NE(fgets(line, sizeof line, log), nullptr);
    fclose(log);
    unlink(log_name);
    EXPECT_EQ(std::string(line), "sleep " + seconds + "\n");
}

INSTANTIATE_TEST_SUITE_P(table, interval_test, ::testing::ValuesIn(intervals));

} // namespace
