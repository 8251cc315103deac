// SPDX-License-Identifier: BSD-2-Clause
// volscan-exporter: the statistics of every EBS volume of the machine in the
// Prometheus text format, over HTTP or into node_exporter's text-file folder.
//
// Two processes (docs/architecture.md): the device side, forked first, keeps
// the privilege to send NVMe admin commands and answers two kinds of record
// over a socket pair (records.h); the metrics side, this one, asks it, keeps
// the running totals, renders the metrics and serves them over HTTP as an
// unprivileged user holding no capability, or writes them to a file.
#include "exporter/device_link.h"
#include "exporter/log.h"
#include "exporter/options.h"
#include "exporter/sandbox.h"
#include "exporter/scrape.h"
#include "exporter/stop_signals.h"
#include "exporter/textfile.h"
#include "exporter/web/admission.h"
#include "exporter/web/listener.h"
#include "exporter/web/server.h"

static int serve(const exporter_settings& settings)
{
    unprivileged_user user;
    if (!find_user(settings.web_user, &user) || !start_device_side(settings.scrape_threads))
        return 1;
    // The web configuration is read by the process that reads it again later,
    // as the user it has become: a file that user cannot read stops the start.
    int listener =
        open_listener(settings.listen_host, settings.listen_port, settings.listen_address);
    if (listener < 0 || !drop_privileges(user) || !confine_metrics_side())
        return 1;
    if (settings.web_config_file
        && !start_admission(settings.web_config_file, user.change ? user.name : nullptr))
        return 1;
    log_message("version %s listening on %s, reading up to %u devices at once", VOLSCAN_VERSION,
                settings.listen_address, settings.scrape_threads);
    // Before any thread starts: the stop signals go to the thread that waits
    // for them, not to one of the server's or the one that takes the answers.
    hold_stop_signals();
    if (!start_scrapes())
        return 1;
    int status = serve_http(listener, settings);
    stop_scrapes();
    return status;
}

// The text file is written as the user the exporter was started as, who can
// write its folder by its mode; the devices are still read by the device side
// alone. The writer keeps no capability at all, CAP_DAC_OVERRIDE included:
// root's folder it writes as its owner, and a folder it may not write by its
// mode is an operator's mistake to be told of, not overridden.
static int write_files(const exporter_settings& settings)
{
    const unprivileged_user same = {};
    if (!start_device_side(settings.scrape_threads) || !drop_privileges(same)
        || !confine_metrics_side())
        return 1;
    if (settings.textfile_interval) {
        log_message("version %s writing %s every %u s, reading up to %u devices at once",
                    VOLSCAN_VERSION, settings.textfile_output, settings.textfile_interval,
                    settings.scrape_threads);
        hold_stop_signals();
    }
    if (!start_scrapes())
        return 1;
    int status =
        run_textfile(settings.textfile_output, settings.textfile_interval, settings.scrape_timeout);
    stop_scrapes();
    return status;
}

int main(int argc, char** argv)
{
    exporter_settings settings;
    parse_exporter_options(argc, argv, &settings);
    use_latency_buckets(settings.bucket_bounds);
    return settings.textfile_output ? write_files(settings) : serve(settings);
}
