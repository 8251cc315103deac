// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "nvme/driver.h"
#include "nvme/identify.h"
#include "nvme/trim_field.h"

namespace {

// What every reader sees: the text up to its first NUL.
std::string trimmed(const std::string& field)
{
    char* text = trim_field(field.data(), field.size());
    std::string result(text);
    free(text);
    return result;
}

struct trim_case {
    std::string field;
    std::string visible; // up to the first NUL
};

const trim_case trim_cases[] = {
    {"Amazon Elastic Block Store              ", "Amazon Elastic Block Store"},
    {"   vol0abc          ", "vol0abc"},
    {"                    ", ""},
    {std::string(20, '\0'), ""},
    {std::string("  \0 \0\0 ", 8), ""},
    {std::string("\0vol0abc", 8), ""},
    {std::string("vol0abc\0xyz  ", 13), "vol0abc"},
    {std::string("a b\0 c\0\0 ", 10), "a b"},
    {"x", "x"},
    {"  x  ", "x"},
    {"/dev/sdf", "/dev/sdf"},
};

TEST(trim_field, keeps_what_lies_between_the_padding)
{
    for (const trim_case& c : trim_cases)
        EXPECT_EQ(trimmed(c.field), c.visible) << testing::PrintToString(c.field);
}

// Text after an inner NUL is copied with the rest, up to the trailing
// padding, but the NUL ends it for every reader.
TEST(trim_field, copies_inner_nul_and_what_follows)
{
    const char field[] = {'v', 'o', 'l', '\0', 'x', 'y', ' ', '\0', ' ', ' '};
    char* text = trim_field(field, sizeof field);
    EXPECT_EQ(std::string(text, 7), std::string("vol\0xy\0", 7));
    free(text);
}

TEST(trim_field, reads_only_its_width)
{
    const char field[] = "abc   def";
    char* text = trim_field(field, 5);
    EXPECT_STREQ(text, "abc");
    free(text);
}

TEST(completion_outcome, counts_status_code_and_type_only)
{
    const struct {
        uint16_t status;
        admin_outcome outcome;
    } cases[] = {
        {0x0000, admin_outcome::success},          {0x0001, admin_outcome::success},
        {0xF000, admin_outcome::success},          {0xF001, admin_outcome::success},
        {0x0002, admin_outcome::completion_error}, {0x01FE, admin_outcome::completion_error},
        {0x0200, admin_outcome::completion_error}, {0x0E00, admin_outcome::completion_error},
        {0x8004, admin_outcome::completion_error}, {0xFFFF, admin_outcome::completion_error},
    };
    for (const auto& c : cases)
        EXPECT_EQ(completion_outcome(c.status), c.outcome) << std::hex << c.status;
}

TEST(identify_vendor, is_little_endian)
{
    identify_controller_data data{};
    data.vid[0] = 0x0F;
    data.vid[1] = 0x1D;
    EXPECT_EQ(identify_vendor(data), 0x1D0F);
}

} // namespace
