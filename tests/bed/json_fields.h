// SPDX-License-Identifier: BSD-2-Clause
// JSON output compared so that a failure names the field: each value of a
// stream becomes one line per field, "1.volumes.2.read.ops_per_second = 20"
// (the value's place in the stream first), as jq reads it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

// The fields of a stream of JSON values, or "jq failed: ..." when jq
// cannot read it.
inline std::string json_fields(const std::string& stream)
{
    char path[] = "/tmp/json-fields-XXXXXX";
    int descriptor = mkstemp(path);
    if (descriptor < 0)
        return "jq failed: no temporary file";
    bool written = write(descriptor, stream.data(), stream.size())
        == static_cast<ssize_t>(stream.size());
    close(descriptor);
    std::string command = std::string("timeout 10 jq -rn '[inputs] | paths(type != \"object\" and "
                                      "type != \"array\") as $p | \"\\($p | map(tostring) | "
                                      "join(\".\")) = \\(getpath($p) | tojson)\"' <")
        + path + " 2>&1";
    std::string fields;
    FILE* jq = written ? popen(command.c_str(), "r") : nullptr;
    if (jq != nullptr) {
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, jq)) > 0)
            fields.append(buffer, got);
        if (pclose(jq) != 0)
            fields = "jq failed: " + fields;
    } else {
        fields = "jq failed: could not run it";
    }
    unlink(path);
    return fields;
}

// Field by field first, so that one wrong field shows as that field; then,
// once they agree, byte for byte, for the form jq does not keep (spacing,
// key order, how numbers are written).
inline void expect_json_stream(const std::string& got, const std::string& expected)
{
    std::string got_fields = json_fields(got);
    std::string expected_fields = json_fields(expected);
    EXPECT_EQ(got_fields, expected_fields);
    if (got_fields == expected_fields) {
        EXPECT_EQ(got, expected);
    }
}
