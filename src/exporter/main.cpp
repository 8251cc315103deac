// SPDX-License-Identifier: BSD-2-Clause
// volscan-exporter: the statistics of every EBS volume of the machine in the
// Prometheus text format, over HTTP or into node_exporter's text-file folder.
#include "exporter/http.h"
#include "exporter/options.h"
#include "exporter/textfile.h"

int main(int argc, char** argv)
{
    parse_exporter_options(argc, argv);
    if (exporter.textfile_output)
        return run_textfile(exporter.textfile_output, exporter.textfile_interval);
    int listener = open_listener(exporter.listen_address);
    if (listener < 0)
        return 1;
    return serve_http(listener);
}
