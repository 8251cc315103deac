// SPDX-License-Identifier: BSD-2-Clause
#include "identity/identity.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nvme/trim_field.h"

bool read_identity_fields(const identify_controller_data& data, identity_fields* fields)
{
    fields->serial = trim_field(data.sn, sizeof data.sn);
    fields->model = fields->serial ? trim_field(data.mn, sizeof data.mn) : nullptr;
    fields->bdev = fields->model ? trim_field(data.vs_bdev, sizeof data.vs_bdev) : nullptr;
    if (fields->bdev != nullptr)
        return true;
    int cause = errno;
    free_identity_fields(fields);
    errno = cause;
    return false;
}

void free_identity_fields(identity_fields* fields)
{
    free(fields->serial);
    free(fields->model);
    free(fields->bdev);
    *fields = identity_fields{};
}

bool is_ebs_model(const char* model)
{
    return strcmp(model, ebs_model) == 0;
}

void volume_id(const char* serial, char (&id)[volume_id_size])
{
    // The serial number is the volume ID without its hyphen.
    if (strncmp(serial, "vol", 3) == 0 && strncmp(serial, "vol-", 4) != 0)
        snprintf(id, sizeof id, "vol-%s", serial + 3);
    else
        snprintf(id, sizeof id, "%s", serial);
}

const char* bdev_name(const char* bdev)
{
    return strncmp(bdev, "/dev/", 5) == 0 ? bdev + 5 : bdev;
}

bool fill_volume_identity(const identify_controller_data& data, volume_identity* identity)
{
    identity_fields fields;
    if (!read_identity_fields(data, &fields))
        return false;
    char id[volume_id_size];
    volume_id(fields.serial, id);
    static_assert(sizeof identity->volume_id >= volume_id_size);
    copy_field(identity->volume_id, sizeof identity->volume_id, id);
    copy_field(identity->serial, sizeof identity->serial, fields.serial);
    copy_field(identity->model, sizeof identity->model, fields.model);
    copy_field(identity->block_device, sizeof identity->block_device, bdev_name(fields.bdev));
    free_identity_fields(&fields);
    return true;
}
