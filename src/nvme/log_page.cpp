// SPDX-License-Identifier: BSD-2-Clause
#include "nvme/log_page.h"

admin_outcome get_log_page(int descriptor, uint32_t nsid, uint8_t identifier, void* buffer,
                           uint32_t length)
{
    admin_command command{};
    command.opc = NVME_OPC_GET_LOG_PAGE;
    command.nsid = nsid;
    // The log identifier in bits 0-7; in bits 16-31 the number of 32-bit
    // words to transfer, less one.
    command.cdw10 = (length / 4 - 1) << 16 | identifier;
    command.buf = buffer;
    command.len = length;
    command.is_read = 1;
    return submit_admin(descriptor, command);
}
