// SPDX-License-Identifier: BSD-2-Clause
#include "cli/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cli/diag.h"

option_set settings;

const char usage_text[] =
    "usage: volscan id [-b] [-m] [-s] [-u] [-v] device\n"
    "       volscan-id [-b] [-m] [-s] [-u] [-v] device\n"
    "       volscan stats [-i interval] [-j] device\n"
    "       volscan-stats [-i interval] [-j] device\n";

// glibc reorders arguments unless the option string starts with '+'; other
// libcs stop at the first operand already and would take '+' as an option.
#ifdef __GLIBC__
static const char option_string[] = "+bi:jmsuv";
#else
static const char option_string[] = "bi:jmsuv";
#endif

void usage_exit()
{
    fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
    exit(1);
}

bool parse_interval(const char* text, uint64_t* seconds)
{
    char* end;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 0);
    *seconds = value;
    // end == text: no digits at all, which glibc does not report as EINVAL.
    return end != text && *end == '\0' && value <= 0xFFFFFFFFu && errno != EINVAL
        && errno != ERANGE;
}

static const char* last_component(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

const char* parse_command_line(int argc, char** argv, const char** mode)
{
    if (argc == 0 || argv[0] == nullptr)
        fatalx("don't know who I am");
    const char* name = last_component(argv[0]);
    set_invocation_name(name);

    if (strcmp(name, "volscan-id") == 0) {
        *mode = "id";
    } else if (strcmp(name, "volscan-stats") == 0) {
        *mode = "stats";
    } else if (strcmp(name, "volscan") == 0) {
        if (argc == 1)
            usage_exit();
        if (strcmp(argv[1], "id") == 0)
            *mode = "id";
        else if (strcmp(argv[1], "stats") == 0)
            *mode = "stats";
        else
            usage_exit();
        // The subcommand word stands where a program name stands.
        argv++;
        argc--;
    } else {
        fatalx("don't know who I am");
    }
    // getopt prefixes its own diagnostics with argv[0].
    argv[0] = const_cast<char*>(name);

    int option;
    while ((option = getopt(argc, argv, option_string)) != -1) {
        switch (option) {
        case 'b':
        case 'u':
            settings.want_bdev = true;
            break;
        case 'm':
            settings.want_model = true;
            break;
        case 's':
            settings.want_serial = true;
            break;
        case 'v':
            settings.want_volume = true;
            break;
        case 'j':
            settings.json_output = true;
            break;
        case 'i':
            if (!parse_interval(optarg, &settings.interval))
                fatalx("invalid argument to -i: %s", optarg);
            break;
        default:
            usage_exit();
        }
    }

    bool id_options = settings.want_bdev || settings.want_model || settings.want_serial
        || settings.want_volume;
    if (strcmp(*mode, "stats") == 0 && id_options)
        usage_exit();
    if (strcmp(*mode, "id") == 0 && (settings.interval != 0 || settings.json_output))
        usage_exit();
    if (argc - optind != 1)
        usage_exit();
    return argv[optind];
}
