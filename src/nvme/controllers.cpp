// SPDX-License-Identifier: BSD-2-Clause
#include "nvme/driver.h"

#include <cstdlib>
#include <cstring>

long controller_number_prefix(const char* name, const char** rest)
{
    if (strncmp(name, "nvme", 4) != 0 || name[4] < '0' || name[4] > '9')
        return -1;
    char* end;
    long number = strtol(name + 4, &end, 10);
    *rest = end;
    return number;
}

long controller_number(const char* name)
{
    const char* rest;
    long number = controller_number_prefix(name, &rest);
    return number >= 0 && *rest == '\0' ? number : -1;
}

static long number_of(const controller_entry& entry)
{
    return controller_number(entry.controller);
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

int distinct_devices(controller_entry* entries, int count)
{
    int kept = 0;
    for (int i = 0; i < count; i++) {
        bool seen = false;
        for (int j = 0; j < kept && !seen; j++)
            seen = strcmp(entries[j].device, entries[i].device) == 0;
        if (seen)
            continue;
        if (kept != i)
            memcpy(&entries[kept], &entries[i], sizeof entries[kept]);
        kept++;
    }
    return kept;
}
