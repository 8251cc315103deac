// SPDX-License-Identifier: BSD-2-Clause
#include "nvme/identify.h"

#include <cstdlib>
#include <cstring>

#include "nvme/trim_field.h"

admin_outcome identify_controller(int descriptor, identify_controller_data* data)
{
    memset(data, 0, sizeof *data);
    admin_command command{};
    command.opc = NVME_OPC_IDENTIFY;
    command.nsid = 0;
    command.cdw10 = 1; // CNS 01h: Identify Controller
    command.buf = data;
    command.len = sizeof *data;
    command.is_read = 1;
    return submit_admin(descriptor, command);
}

uint16_t identify_vendor(const identify_controller_data& data)
{
    return static_cast<uint16_t>(data.vid[0] | data.vid[1] << 8);
}

device_kind controller_kind(const identify_controller_data& data)
{
    if (identify_vendor(data) != 0x1D0F)
        return device_kind::other_vendor;
    char* model = trim_field(data.mn, sizeof data.mn);
    if (model == nullptr)
        return device_kind::no_memory;
    device_kind kind = strcmp(model, ebs_model) == 0 ? device_kind::ebs_volume
        : strcmp(model, instance_storage_model) == 0 ? device_kind::instance_storage
                                                     : device_kind::other_model;
    free(model);
    return kind;
}
