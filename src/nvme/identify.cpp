#include "nvme/identify.h"

#include <cstring>

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
