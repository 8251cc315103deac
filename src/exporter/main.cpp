// SPDX-License-Identifier: BSD-2-Clause
// volscan-exporter: the statistics of every EBS volume of the machine in the
// Prometheus text format, over HTTP or into node_exporter's text-file folder.
//
// Two processes: the device side, forked first, keeps the privilege to send
// NVMe admin commands and answers two kinds of request over a socket pair;
// this one, which parses HTTP, becomes an unprivileged user and holds no
// capability (see device_side.cpp and sandbox.h).
#include <csignal>

#include "exporter/device_link.h"
#include "exporter/http.h"
#include "exporter/options.h"
#include "exporter/sandbox.h"
#include "exporter/scrape.h"
#include "exporter/textfile.h"
#include "exporter/webconfig.h"

// SIGTERM and SIGINT go to the thread that waits for them, not to one of
// the server's or the one that takes the device side's answers.
static void hold_stop_signals()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

static int serve()
{
    unprivileged_user user;
    if (!find_user(exporter.web_user, &user) || !start_device_side(exporter.scrape_threads))
        return 1;
    // The web configuration is read by the process that reads it again later,
    // as the user it has become: a file that user cannot read stops the start.
    int listener = open_listener(exporter.listen_address);
    if (listener < 0 || !drop_privileges(user) || !confine_network_side())
        return 1;
    if (exporter.web_config_file
        && !load_web_config(exporter.web_config_file, user.change ? user.name : nullptr))
        return 1;
    report("version %s listening on %s, reading up to %u devices at once", VOLSCAN_VERSION,
           exporter.listen_address, exporter.scrape_threads);
    hold_stop_signals();
    if (!start_scrapes())
        return 1;
    int status = serve_http(listener);
    stop_scrapes();
    return status;
}

// The text file is written as the user the exporter was started as, who can
// write its folder by its mode; the devices are still read by the device side
// alone. The writer keeps no capability at all, CAP_DAC_OVERRIDE included:
// root's folder it writes as its owner, and a folder it may not write by its
// mode is an operator's mistake to be told of, not overridden.
static int write_files()
{
    const unprivileged_user same = {false, 0, 0};
    if (!start_device_side(exporter.scrape_threads) || !drop_privileges(same)
        || !confine_network_side())
        return 1;
    if (exporter.textfile_interval) {
        report("version %s writing %s every %u s, reading up to %u devices at once",
               VOLSCAN_VERSION, exporter.textfile_output, exporter.textfile_interval,
               exporter.scrape_threads);
        hold_stop_signals();
    }
    if (!start_scrapes())
        return 1;
    int status = run_textfile(exporter.textfile_output, exporter.textfile_interval);
    stop_scrapes();
    return status;
}

int main(int argc, char** argv)
{
    parse_exporter_options(argc, argv);
    return exporter.textfile_output ? write_files() : serve();
}
