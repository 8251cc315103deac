// SPDX-License-Identifier: BSD-2-Clause
// top's table at every step of the order in which its columns give way to a
// narrower terminal: each width with the group line and the column names it
// gets, from all columns down to what 80 columns keep.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "cli/top_render.h"

namespace {

// The text table of a report without volumes for a terminal this wide.
std::string table_for(int width)
{
    top_report report = {1767225600, 0, 1.0, nullptr, 0, false, false, width};
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    FILE* capture = tmpfile();
    dup2(fileno(capture), STDOUT_FILENO);
    print_top_text(report);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    rewind(capture);
    for (int c; (c = fgetc(capture)) != EOF;)
        text += static_cast<char>(c);
    fclose(capture);
    return text;
}

// The two header lines, the title before them and what follows cut off.
std::string header_of(const std::string& table)
{
    size_t start = table.find('\n') + 1;
    size_t end = table.find('\n', table.find('\n', start) + 1);
    return table.substr(start, end - start);
}

struct layout_case {
    int width;
    const char* groups;
    const char* names;
};

const layout_case cases[] = {
    {0,
     "                                   ----- ops/s ----- ---- MiB/s ---- ------ read latency (us) ------ ----- write latency (us) ------       ----- limit exceeded (% of time) ------",
     "device       volume                    read    write    read   write    mean     p50     p90     p99    mean     p50     p90     p99 queue  vol-IOPS  vol-tput inst-IOPS inst-tput"},
    {178,
     "                                   ----- ops/s ----- ---- MiB/s ---- ------ read latency (us) ------ ----- write latency (us) ------       ----- limit exceeded (% of time) ------",
     "device       volume                    read    write    read   write    mean     p50     p90     p99    mean     p50     p90     p99 queue  vol-IOPS  vol-tput inst-IOPS inst-tput"},
    // The queue goes first,
    {177,
     "                                   ----- ops/s ----- ---- MiB/s ---- ------ read latency (us) ------ ----- write latency (us) ------ ----- limit exceeded (% of time) ------",
     "device       volume                    read    write    read   write    mean     p50     p90     p99    mean     p50     p90     p99  vol-IOPS  vol-tput inst-IOPS inst-tput"},
    // then the means,
    {171,
     "                                   ----- ops/s ----- ---- MiB/s ---- -- read latency (us) -- - write latency (us) -- ----- limit exceeded (% of time) ------",
     "device       volume                    read    write    read   write     p50     p90     p99     p50     p90     p99  vol-IOPS  vol-tput inst-IOPS inst-tput"},
    // the p50s,
    {155,
     "                                   ----- ops/s ----- ---- MiB/s ---- -- read (us) -- - write (us) -- ----- limit exceeded (% of time) ------",
     "device       volume                    read    write    read   write     p90     p99     p90     p99  vol-IOPS  vol-tput inst-IOPS inst-tput"},
    // the MiB/s,
    {139,
     "                                   ----- ops/s ----- -- read (us) -- - write (us) -- ----- limit exceeded (% of time) ------",
     "device       volume                    read    write     p90     p99     p90     p99  vol-IOPS  vol-tput inst-IOPS inst-tput"},
    // the p90s,
    {108,
     "                                   ----- ops/s -----                 ----- limit exceeded (% of time) ------",
     "device       volume                    read    write  rd-p99  wr-p99  vol-IOPS  vol-tput inst-IOPS inst-tput"},
    // and the four limits become the largest of them.
    {107, "                                   ----- ops/s -----                          ",
     "device       volume                    read    write  rd-p99  wr-p99  limited%"},
    {80, "                                   ----- ops/s -----                          ",
     "device       volume                    read    write  rd-p99  wr-p99  limited%"},
    // Narrower still, the same, cut at the terminal's edge.
    {40, "                                   ----- ops/s -----                          ",
     "device       volume                    read    write  rd-p99  wr-p99  limited%"},
};

TEST(top_layout, columns_give_way_in_order)
{
    for (const layout_case& c : cases) {
        SCOPED_TRACE(c.width);
        EXPECT_EQ(header_of(table_for(c.width)), std::string(c.groups) + "\n" + c.names);
    }
}

} // namespace
