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

const char top_usage_text[] = "usage: volscan top [-i seconds] [-n count] [-j] [device ...]\n";

static const char help_text[] =
    "usage: volscan id [-b] [-m] [-s] [-u] [-v] device\n"
    "       volscan-id [-b] [-m] [-s] [-u] [-v] device\n"
    "       volscan stats [-i interval] [-j] device\n"
    "       volscan-stats [-i interval] [-j] device\n"
    "       volscan top [-i seconds] [-n count] [-j] [device ...]\n"
    "       volscan --help | --version\n"
    "\n"
    "Modes:\n"
    "  id        identity of an NVMe device of EC2: volume ID and block-device name by default\n"
    "  stats     the EBS statistics page of a volume: counters and latency histograms\n"
    "  top       per-interval rates, latencies and throttling of EBS volumes (all without operands)\n"
    "\n"
    "Options:\n"
    "  -b, -u    id: the block-device name the platform reports (sdf, xvdf)\n"
    "  -m        id: the model\n"
    "  -s        id: the serial number\n"
    "  -v        id: the volume ID\n"
    "  -i N      stats: report the differences every N seconds; top: interval, default 1\n"
    "  -j        stats, top: JSON, one object per line\n"
    "  -n N      top: stop after N reports\n"
    "  --help    this text\n"
    "  --version the version of volscan\n"
    "\n"
    "A device is a controller (nvme0) or a namespace (nvme0n1), with or without /dev/.\n";

// glibc reorders arguments unless the option string starts with '+'; other
// libcs stop at the first operand already and would take '+' as an option.
#ifdef __GLIBC__
static const char option_string[] = "+bi:jmsuv";
static const char top_option_string[] = "+i:jn:";
#else
static const char option_string[] = "bi:jmsuv";
static const char top_option_string[] = "i:jn:";
#endif

void usage_exit()
{
    fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
    exit(1);
}

[[noreturn]] static void top_usage_exit()
{
    fwrite(top_usage_text, 1, sizeof top_usage_text - 1, stderr);
    exit(1);
}

[[noreturn]] static void answer_exit(const char* text)
{
    fputs(text, stdout);
    check_stdout();
    exit(0);
}

// A positive whole number of the same form as an interval. A value top cannot
// take is told with what the option wants, then the usage line.
static uint64_t positive_argument(char option, const char* what, const char* text)
{
    uint64_t value;
    if (!parse_interval(text, &value) || value == 0) {
        fprintf(stderr, "volscan: invalid -%c: %s (%s: a whole number from 1 to 4294967295)\n%s",
                option, text, what, top_usage_text);
        exit(1);
    }
    return value;
}

static const char* parse_top(int argc, char** argv)
{
    settings.interval = 1;
    int option;
    while ((option = getopt(argc, argv, top_option_string)) != -1) {
        switch (option) {
        case 'i':
            settings.interval = positive_argument('i', "seconds between reports", optarg);
            break;
        case 'n':
            settings.count = positive_argument('n', "reports before it stops", optarg);
            break;
        case 'j':
            settings.json_output = true;
            break;
        default:
            top_usage_exit();
        }
    }
    settings.operands = argv + optind;
    settings.operand_count = argc - optind;
    return nullptr;
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
    bool volscan_names = strcmp(name, "volscan") == 0 || strcmp(name, "volscan-id") == 0
        || strcmp(name, "volscan-stats") == 0;
    if (volscan_names && argc > 1 && strcmp(argv[1], "--help") == 0)
        answer_exit(help_text);
    if (volscan_names && argc > 1 && strcmp(argv[1], "--version") == 0)
        answer_exit("volscan " VOLSCAN_VERSION "\n");

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
        else if (strcmp(argv[1], "top") == 0)
            *mode = "top";
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
    if (strcmp(*mode, "top") == 0)
        return parse_top(argc, argv);

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
