// SPDX-License-Identifier: BSD-2-Clause
#include "exporter/options.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "exporter/log.h"

static const exporter_settings defaults = {":9720", "", "9720", "/metrics", 32, 0, nullptr,
                                           "volscan-exporter", nullptr, 0, 9.5, 8, 64, {0, {}}};

const char exporter_usage[] =
    "usage: volscan-exporter [--web.listen-address=[HOST]:PORT] [--web.telemetry-path=PATH]\n"
    "                        [--web.max-connections=N] [--web.max-connections-per-address=N]\n"
    "                        [--web.config.file=FILE] [--web.user=USER]\n"
    "                        [--scrape.timeout=SECONDS] [--scrape.threads=N]\n"
    "                        [--collector.latency-buckets=LIST]\n"
    "       volscan-exporter --textfile.output=FILE [--textfile.interval=SECONDS]\n"
    "                        [--scrape.timeout=SECONDS] [--scrape.threads=N]\n"
    "                        [--collector.latency-buckets=LIST]\n"
    "       volscan-exporter --help | --version\n";

static const char help_text[] =
    "\n"
    "Serves the statistics of every EBS volume of this machine to Prometheus.\n"
    "\n"
    "  --web.listen-address=[HOST]:PORT  address to listen on (default \":9720\": every\n"
    "                                    address of the machine)\n"
    "  --web.telemetry-path=PATH         path of the metrics (default \"/metrics\")\n"
    "  --web.max-connections=N           connections served at once (default 32)\n"
    "  --web.max-connections-per-address=N\n"
    "                                    of them from one client address (default: a\n"
    "                                    quarter of --web.max-connections, at least 1)\n"
    "  --web.ipv6-prefix-length=N        IPv6 clients counted as one for that limit by\n"
    "                                    their first N bits (default 64)\n"
    "  --web.config.file=FILE            TLS and basic authentication, in the web\n"
    "                                    configuration format of Prometheus exporters\n"
    "  --web.user=USER                   user the metrics side runs as, when started as\n"
    "                                    root (default \"volscan-exporter\")\n"
    "  --textfile.output=FILE            write the metrics to FILE (for node_exporter's\n"
    "                                    text-file collector) instead of serving them\n"
    "  --textfile.interval=SECONDS       write FILE again every SECONDS (default 0: once)\n"
    "  --scrape.timeout=SECONDS          time a scrape waits for the devices when the\n"
    "                                    scraper does not say (default 9.5), and the most\n"
    "                                    it waits when it does: Prometheus's own timeout\n"
    "                                    less half a second, at least 0.5\n"
    "  --scrape.threads=N                devices read at once (default 8)\n"
    "  --collector.latency-buckets=LIST  upper bounds in seconds, rising and comma-\n"
    "                                    separated, to merge the latency bins into\n"
    "                                    (default: every bin of the device)\n"
    "  --help                            this text\n"
    "  --version                         the version\n";

[[noreturn]] static void misuse(const char* format, const char* value)
{
    char line[1024];
    snprintf(line, sizeof line, format, value);
    fprintf(stderr, "volscan-exporter: %s\n%s", line, exporter_usage);
    exit(1);
}

// A whole decimal number from low to high, nothing else.
static bool parse_number(const char* text, unsigned low, unsigned high, unsigned* value)
{
    if (*text < '0' || *text > '9')
        return false;
    char* end;
    errno = 0;
    unsigned long number = strtoul(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || number < low || number > high)
        return false;
    *value = static_cast<unsigned>(number);
    return true;
}

// Seconds in decimal, from more than 0 to high.
static bool parse_seconds(const char* text, double high, double* value)
{
    if (*text == '\0' || strspn(text, "0123456789.") != strlen(text))
        return false;
    char* end;
    errno = 0;
    double number = strtod(text, &end);
    if (*end != '\0' || errno == ERANGE || !(number > 0) || number > high)
        return false;
    *value = number;
    return true;
}

// Up to histogram_bins rising upper bounds in seconds, comma-separated, each
// a whole number of microseconds from 0.000001 to 3600.
static bool parse_latency_buckets(const char* text, latency_buckets* buckets)
{
    buckets->count = 0;
    const char* p = text;
    for (;;) {
        uint64_t whole = 0, fraction = 0;
        int whole_digits = 0, fraction_digits = 0;
        for (; *p >= '0' && *p <= '9'; p++, whole_digits++)
            if (whole_digits < 5)
                whole = whole * 10 + (*p - '0');
        if (*p == '.')
            for (p++; *p >= '0' && *p <= '9'; p++, fraction_digits++)
                if (fraction_digits < 6)
                    fraction = fraction * 10 + (*p - '0');
        if (whole_digits + fraction_digits == 0 || whole_digits > 4 || fraction_digits > 6
            || buckets->count == histogram_bins)
            return false;
        for (int i = fraction_digits; i < 6; i++)
            fraction *= 10;
        uint64_t upper = whole * 1000000 + fraction;
        if (upper == 0 || upper > 3600000000u
            || (buckets->count > 0 && upper <= buckets->upper[buckets->count - 1]))
            return false;
        buckets->upper[buckets->count++] = upper;
        if (*p == '\0')
            return true;
        if (*p++ != ',')
            return false;
    }
}

// What a telemetry path may hold: it goes into the index page unescaped.
static const char path_characters[] =
    "/abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~";

bool split_listen_address(const char* address, char (&host)[256], char (&port)[6])
{
    const char* colon = strrchr(address, ':');
    unsigned number;
    if (colon == nullptr || !parse_number(colon + 1, 1, 65535, &number))
        return false;
    const char* begin = address;
    size_t length = colon - address;
    if (address[0] == '[') { // [v6]:port
        if (length < 3 || colon[-1] != ']')
            return false;
        begin++;
        length -= 2;
    } else if (memchr(address, ':', length) != nullptr)
        return false;
    if (length >= sizeof host)
        return false;
    memcpy(host, begin, length);
    host[length] = '\0';
    snprintf(port, sizeof port, "%u", number);
    return true;
}

void parse_exporter_options(int argc, char** argv, exporter_settings* settings)
{
    *settings = defaults;
    exporter_settings& exporter = *settings;
    enum { listen_address = 1, telemetry_path, max_connections, per_address, web_config_file,
           textfile_output, textfile_interval, web_user, scrape_timeout, scrape_threads, help,
           version, ipv6_prefix, latency_buckets_list };
    static const option long_options[] = {
        {"web.listen-address", required_argument, nullptr, listen_address},
        {"web.telemetry-path", required_argument, nullptr, telemetry_path},
        {"web.max-connections", required_argument, nullptr, max_connections},
        {"web.max-connections-per-address", required_argument, nullptr, per_address},
        {"web.ipv6-prefix-length", required_argument, nullptr, ipv6_prefix},
        {"web.config.file", required_argument, nullptr, web_config_file},
        {"textfile.output", required_argument, nullptr, textfile_output},
        {"textfile.interval", required_argument, nullptr, textfile_interval},
        {"web.user", required_argument, nullptr, web_user},
        {"scrape.timeout", required_argument, nullptr, scrape_timeout},
        {"scrape.threads", required_argument, nullptr, scrape_threads},
        {"collector.latency-buckets", required_argument, nullptr, latency_buckets_list},
        {"help", no_argument, nullptr, help},
        {"version", no_argument, nullptr, version},
        {nullptr, 0, nullptr, 0},
    };
    bool web_option = false;
    const char* per_address_text = nullptr; // checked against --web.max-connections, given or not
    bool interval_option = false;
    if (argc > 0)
        argv[0] = const_cast<char*>("volscan-exporter"); // getopt's own diagnostics
    opterr = 1;
    int option;
    while ((option = getopt_long(argc, argv, "+h", long_options, nullptr)) != -1) {
        switch (option) {
        case listen_address:
            if (!split_listen_address(optarg, exporter.listen_host, exporter.listen_port))
                misuse("invalid --web.listen-address: %s", optarg);
            exporter.listen_address = optarg;
            web_option = true;
            break;
        case telemetry_path:
            if (optarg[0] != '/' || strcmp(optarg, "/") == 0
                || strspn(optarg, path_characters) != strlen(optarg))
                misuse("invalid --web.telemetry-path: %s", optarg);
            exporter.telemetry_path = optarg;
            web_option = true;
            break;
        case max_connections:
            if (!parse_number(optarg, 1, 1024, &exporter.max_connections))
                misuse("invalid --web.max-connections: %s (1 to 1024)", optarg);
            web_option = true;
            break;
        case per_address:
            per_address_text = optarg;
            web_option = true;
            break;
        case ipv6_prefix:
            if (!parse_number(optarg, 1, 128, &exporter.ipv6_prefix_length))
                misuse("invalid --web.ipv6-prefix-length: %s (1 to 128)", optarg);
            web_option = true;
            break;
        case web_config_file:
            if (optarg[0] == '\0')
                misuse("invalid --web.config.file: %s", optarg);
            exporter.web_config_file = optarg;
            web_option = true;
            break;
        case web_user:
            if (optarg[0] == '\0')
                misuse("invalid --web.user: %s", optarg);
            exporter.web_user = optarg;
            web_option = true;
            break;
        case scrape_timeout:
            if (!parse_seconds(optarg, 3600, &exporter.scrape_timeout))
                misuse("invalid --scrape.timeout: %s (more than 0 to 3600 seconds)", optarg);
            break;
        case scrape_threads:
            if (!parse_number(optarg, 1, 64, &exporter.scrape_threads))
                misuse("invalid --scrape.threads: %s (1 to 64)", optarg);
            break;
        case latency_buckets_list:
            if (!parse_latency_buckets(optarg, &exporter.bucket_bounds))
                misuse("invalid --collector.latency-buckets: %s (1 to 64 rising upper bounds in "
                       "seconds, comma-separated, each a whole number of microseconds up to "
                       "3600 seconds)", optarg);
            break;
        case textfile_output:
            if (optarg[0] == '\0')
                misuse("invalid --textfile.output: %s", optarg);
            exporter.textfile_output = optarg;
            break;
        case textfile_interval:
            if (!parse_number(optarg, 0, 86400, &exporter.textfile_interval))
                misuse("invalid --textfile.interval: %s (0 to 86400 seconds)", optarg);
            interval_option = true;
            break;
        case 'h':
        case help:
            printf("%s%s", exporter_usage, help_text);
            exit(fflush(stdout) == 0 ? 0 : 1);
        case version:
            printf("volscan-exporter %s\n", VOLSCAN_VERSION);
            exit(fflush(stdout) == 0 ? 0 : 1);
        default:
            fputs(exporter_usage, stderr);
            exit(1);
        }
    }
    if (optind < argc)
        misuse("unexpected argument: %s", argv[optind]);
    // One address (a client, or many behind one NAT) must not fill every slot.
    unsigned quarter = exporter.max_connections / 4;
    exporter.max_connections_per_address = quarter > 0 ? quarter : 1;
    if (per_address_text != nullptr
        && !parse_number(per_address_text, 1, exporter.max_connections,
                         &exporter.max_connections_per_address)) {
        char why[200];
        snprintf(why, sizeof why, "invalid --web.max-connections-per-address: %%s (1 to %u)",
                 exporter.max_connections);
        misuse(why, per_address_text);
    }
    if (interval_option && exporter.textfile_output == nullptr)
        misuse("%s needs --textfile.output", "--textfile.interval");
    if (web_option && exporter.textfile_output != nullptr)
        misuse("%s: the --web options have no use with --textfile.output", "--textfile.output");
    // node_exporter's collector reads *.prom alone and says nothing of the rest.
    size_t length = exporter.textfile_output ? strlen(exporter.textfile_output) : 0;
    if (length > 0 && (length < 5 || strcmp(exporter.textfile_output + length - 5, ".prom") != 0))
        log_message("warning: node_exporter's text-file collector reads only files whose name "
                    "ends in .prom, not %s", exporter.textfile_output);
}
