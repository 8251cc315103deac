// SPDX-License-Identifier: BSD-2-Clause
#include "nvme/driver.h"

#include <cstdlib>
#include <cstring>

static long number_of(const controller_entry& entry)
{
    return strtol(entry.controller + 4, nullptr, 10); // after "nvme"
}

void sort_controllers(controller_entry* entries, int count)
{
    // A machine has a few dozen controllers at most.
    for (int i = 1; i < count; i++)
        for (int j = i; j > 0 && number_of(entries[j - 1]) > number_of(entries[j]); j--) {
            controller_entry swap;
            memcpy(&swap, &entries[j], sizeof swap);
            memcpy(&entries[j], &entries[j - 1], sizeof swap);
            memcpy(&entries[j - 1], &swap, sizeof swap);
        }
}
