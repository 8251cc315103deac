// SPDX-License-Identifier: BSD-2-Clause
#include "nvme/driver.h"

admin_outcome completion_outcome(uint16_t status)
{
    return (status & 0x0FFE) != 0 ? admin_outcome::completion_error : admin_outcome::success;
}
