// SPDX-License-Identifier: BSD-2-Clause
// One scrape of the 27 volumes a machine can attach, every admin command
// answered a few milliseconds late, read one device at a time against the
// thread bounds that read them in parallel. Run by make bench, not by ctest.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

int main()
{
    const int volumes = 27, delay_ms = 5, scrapes = 10;
    std::vector<fleet_controller> controllers;
    for (int k = 0; k < volumes; k++) {
        fleet_controller c;
        c.fixture = fleet_ebs_volume(k);
        c.delay_ms = delay_ms;
        controllers.push_back(c);
    }
    fleet_start(controllers, BED_SHIM);
    printf("one scrape of %d volumes, each admin command answered %d ms late (two a volume, "
           "%d ms in all one after the other); median of %d scrapes:\n",
           volumes, delay_ms, 2 * delay_ms * volumes, scrapes);
    for (int threads : {1, 4, 8, 27}) {
        int port = free_port();
        fleet_process exporter =
            start_exporter(port, {"--scrape.threads=" + std::to_string(threads)});
        for (int i = 0; i < 2; i++)
            http_get(port, "/metrics");
        std::vector<double> times;
        for (int i = 0; i < scrapes; i++) {
            auto start = std::chrono::steady_clock::now();
            std::string response = http_get(port, "/metrics");
            times.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            if (http_status(response) != 200
                || lines_with(http_body(response), "ebs_read_ops_total{").size() != volumes) {
                fprintf(stderr, "exporter_bench: an incomplete scrape\n");
                return 1;
            }
        }
        fleet_finish(exporter, SIGTERM);
        std::sort(times.begin(), times.end());
        int rounds = (volumes + threads - 1) / threads;
        printf("  --scrape.threads=%-2d %7.1f ms   (%2d rounds of %d ms: %d ms)\n", threads,
               times[scrapes / 2] * 1e3, rounds, 2 * delay_ms, rounds * 2 * delay_ms);
    }
    fleet_stop();
    return 0;
}
