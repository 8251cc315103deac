#include "identity/identity.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/diag.h"
#include "cli/options.h"
#include "nvme/trim_field.h"

// Only an EBS volume has a volume ID and a block-device name.
static void require_ebs(const char* model, const char* device_name)
{
    if (strcmp(model, "Amazon Elastic Block Store") != 0)
        fatalx("Not an EBS device: %s", device_name);
}

void print_identity(const char* device_name, const identify_controller_data& data)
{
    if (!settings.want_bdev && !settings.want_model && !settings.want_serial
        && !settings.want_volume) {
        settings.want_bdev = true;
        settings.want_volume = true;
    }

    char* serial = trim_field(data.sn, sizeof data.sn);
    char* model = trim_field(data.mn, sizeof data.mn);
    char* bdev = trim_field(data.vs_bdev, sizeof data.vs_bdev);

    if (settings.want_volume) {
        require_ebs(model, device_name);
        fputs("Volume ID: ", stdout);
        // The serial number is the volume ID without its hyphen.
        if (strncmp(serial, "vol", 3) == 0 && strncmp(serial, "vol-", 4) != 0)
            printf("vol-%s\n", serial + 3);
        else
            puts(serial);
    }
    if (settings.want_bdev) {
        require_ebs(model, device_name);
        puts(strncmp(bdev, "/dev/", 5) == 0 ? bdev + 5 : bdev);
    }
    if (settings.want_model)
        puts(model);
    if (settings.want_serial)
        puts(serial);
    free(serial);
    free(model);
    free(bdev);
}
