// SPDX-License-Identifier: BSD-2-Clause
#include "cli/device.h"
#include "cli/options.h"

int main(int argc, char** argv)
{
    const char* mode;
    const char* operand = parse_command_line(argc, argv, &mode);
    run_device(mode, operand);
}
