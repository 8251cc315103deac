// SPDX-License-Identifier: BSD-2-Clause
// One scrape of the 27 volumes a machine can attach, every admin command
// answered a few milliseconds late, read one device at a time against the
// thread bounds that read them in parallel; then what one scraper and two at
// once, each scraping as fast as it can, cost the devices. Run by make bench,
// not by ctest.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

const int volumes = 27, delay_ms = 5;

using steady = std::chrono::steady_clock;

bool whole(const std::string& response)
{
    return http_status(response) == 200
        && lines_with(http_body(response), "ebs_read_ops_total{").size() == volumes;
}

// Admin commands the fleet has served so far: an Identify and a log page a read.
int device_reads()
{
    int reads = 0;
    for (int k = 0; k < volumes; k++)
        reads += fleet_identifies(k) + fleet_samples(k);
    return reads;
}

// Scrapers at once, each scraping back to back for seconds: the scrapes they
// made, and the admin commands the devices served meanwhile.
bool hammer(int port, int scrapers, double seconds, int* scrapes, int* reads)
{
    int before = device_reads();
    std::atomic<int> made{0};
    std::atomic<bool> broken{false};
    steady::time_point end = steady::now()
        + std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int s = 0; s < scrapers; s++)
        threads.emplace_back([&] {
            while (steady::now() < end) {
                if (!whole(http_get(port, "/metrics")))
                    broken = true;
                made++;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    *scrapes = made;
    *reads = device_reads() - before;
    return !broken;
}

} // namespace

int main()
{
    const int scrapes = 10;
    std::vector<fleet_controller> controllers;
    for (int k = 0; k < volumes; k++) {
        fleet_controller c;
        c.fixture = fleet_ebs_volume(k);
        c.delay_ms = delay_ms;
        controllers.push_back(c);
    }
    fleet_start(controllers, BED_SHIM);
    printf("one scrape of %d volumes, each admin command answered %d ms late (two a volume, "
           "%d ms in all one after the other); median of %d scrapes, each %u ms after the last "
           "so that every one reads the devices:\n",
           volumes, delay_ms, 2 * delay_ms * volumes, scrapes, past_reuse_us / 1000);
    for (int threads : {1, 4, 8, 27}) {
        int port = free_port();
        fleet_process exporter =
            start_exporter(port, {"--scrape.threads=" + std::to_string(threads)});
        for (int i = 0; i < 2; i++)
            http_get(port, "/metrics");
        std::vector<double> times;
        for (int i = 0; i < scrapes; i++) {
            usleep(past_reuse_us);
            int before = device_reads();
            steady::time_point start = steady::now();
            std::string response = http_get(port, "/metrics");
            times.push_back(std::chrono::duration<double>(steady::now() - start).count());
            if (!whole(response) || device_reads() - before != 2 * volumes) {
                fprintf(stderr, "exporter_bench: an incomplete scrape, or one that did not read "
                                "every device\n");
                return 1;
            }
        }
        fleet_finish(exporter, SIGTERM);
        std::sort(times.begin(), times.end());
        int rounds = (volumes + threads - 1) / threads;
        printf("  --scrape.threads=%-2d %7.1f ms   (%2d rounds of %d ms: %d ms)\n", threads,
               times[scrapes / 2] * 1e3, rounds, 2 * delay_ms, rounds * 2 * delay_ms);
    }

    const double seconds = 3;
    printf("scrapers at once, each scraping back to back for %.0f s (--scrape.threads=8):\n",
           seconds);
    int port = free_port();
    fleet_process exporter = start_exporter(port);
    int costs[3] = {};
    for (int scrapers : {1, 2}) {
        usleep(past_reuse_us);
        int made, reads;
        if (!hammer(port, scrapers, seconds, &made, &reads)) {
            fprintf(stderr, "exporter_bench: an incomplete scrape\n");
            return 1;
        }
        costs[scrapers] = reads;
        printf("  %d scraper%s %5d scrapes, %5d admin commands: %.2f Identify and log page "
               "reads a volume a second\n",
               scrapers, scrapers == 1 ? ": " : "s:", made, reads,
               reads / 2.0 / volumes / seconds);
    }
    fleet_finish(exporter, SIGTERM);
    fleet_stop();
    // Both are bounded by the time alone; a second read of the same second
    // at most where a scraper's turn straddles one.
    if (costs[2] > costs[1] + 2 * volumes) {
        fprintf(stderr, "exporter_bench: two scrapers cost the devices more than one\n");
        return 1;
    }
    return 0;
}
