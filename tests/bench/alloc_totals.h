// SPDX-License-Identifier: BSD-2-Clause
// The running totals that the counting allocator (alloc_count.c) writes.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct totals {
    std::string event;
    unsigned long allocations;
    unsigned long frees;
};

inline std::vector<totals> read_totals(const std::string& path)
{
    std::vector<totals> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        totals t;
        fields >> t.event >> t.allocations >> t.frees;
        lines.push_back(t);
    }
    return lines;
}

inline std::string describe(const std::vector<totals>& lines)
{
    std::string text;
    for (const totals& t : lines)
        text += t.event + " " + std::to_string(t.allocations) + " " + std::to_string(t.frees) + "\n";
    return text;
}

