// SPDX-License-Identifier: BSD-2-Clause
#include "cli/device.h"
#include "cli/options.h"
#include "cli/top.h"

#include <cstring>

int main(int argc, char** argv)
{
    const char* mode;
    const char* operand = parse_command_line(argc, argv, &mode);
    if (strcmp(mode, "top") == 0)
        run_top();
    run_device(mode, operand);
}
