// SPDX-License-Identifier: BSD-2-Clause
#include "cli/identity_report.h"

#include <cstdio>

identity_outcome print_identity(const identify_controller_data& data, identity_selection* wanted)
{
    if (!wanted->want_bdev && !wanted->want_model && !wanted->want_serial
        && !wanted->want_volume) {
        wanted->want_bdev = true;
        wanted->want_volume = true;
    }

    identity_fields fields;
    if (!read_identity_fields(data, &fields))
        return identity_outcome::no_memory;
    // Both lines test the same model, so a refused device gets no partial output.
    if ((wanted->want_volume || wanted->want_bdev) && !is_ebs_model(fields.model)) {
        free_identity_fields(&fields);
        return identity_outcome::not_ebs;
    }
    if (wanted->want_volume) {
        char id[volume_id_size];
        volume_id(fields.serial, id);
        printf("Volume ID: %s\n", id);
    }
    if (wanted->want_bdev)
        puts(bdev_name(fields.bdev));
    if (wanted->want_model)
        puts(fields.model);
    if (wanted->want_serial)
        puts(fields.serial);
    free_identity_fields(&fields);
    return identity_outcome::printed;
}
