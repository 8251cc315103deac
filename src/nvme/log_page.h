// SPDX-License-Identifier: BSD-2-Clause
// The Get Log Page command.
#pragma once

#include <cstdint>

#include "nvme/driver.h"

constexpr uint8_t NVME_OPC_GET_LOG_PAGE = 0x02;

// Asks namespace nsid for the first length bytes (a whole number of 32-bit
// words, at most 256 KiB) of log page identifier, into buffer.
admin_outcome get_log_page(int descriptor, uint32_t nsid, uint8_t identifier, void* buffer,
                           uint32_t length);
