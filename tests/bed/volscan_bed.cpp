// SPDX-License-Identifier: BSD-2-Clause
// Runs a command, volscan or a shell, against the emulated NVMe devices.
//
//   volscan-bed [-f fixture | -m demo] [-q [-p]] [command [argument ...]]
//
// The fixture that nvme0 (with its namespaces nvme0n1 and ng0n1) plays:
//   ebs       an EBS volume whose statistics move like a busy volume's (default)
//   example   an EBS volume with one fixed statistics page
//   instance  an instance-storage disk
//   other     another vendor's controller
// -m demo: the demo machine instead (demo_machine.h): four EBS volumes, one of
// them throttled, and an instance-storage disk, nvme0 to nvme4, and nothing
// else; with -q its counters move one second a sample, else with the clock.
// Without a command it starts $SHELL. The folder that holds volscan comes
// first in PATH, so "volscan id nvme0" runs the volscan built beside this
// program. -q: sleep takes no time (polling runs at full speed) and the
// program's clock moves by its waits alone; -p besides: the waits take their
// time all the same (a person watches, the figures stay exact).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "bed.h"
#include "demo_machine.h"

static int usage()
{
    fprintf(stderr, "usage: volscan-bed [-f ebs|example|instance|other | -m demo] "
                    "[-q [-p]] [command [argument ...]]\n");
    return 2;
}

int main(int argc, char** argv)
{
    controller_fixture fixture = ebs_volume();
    fixture.live = true;
    bool quick = false;
    bool demo = false;
    bool paced = false;
    int option;
    while ((option = getopt(argc, argv, "+f:m:pq")) != -1) {
        if (option == 'q') {
            quick = true;
        } else if (option == 'p') {
            paced = true;
        } else if (option == 'm' && strcmp(optarg, "demo") == 0) {
            demo = true;
        } else if (option == 'f' && strcmp(optarg, "ebs") == 0) {
        } else if (option == 'f' && strcmp(optarg, "example") == 0) {
            fixture = ebs_volume();
        } else if (option == 'f' && strcmp(optarg, "instance") == 0) {
            fixture = instance_storage();
        } else if (option == 'f' && strcmp(optarg, "other") == 0) {
            fixture = other_vendor();
        } else {
            return usage();
        }
    }

    if (demo) {
        fleet_start(demo_machine(quick), BED_SHIM);
    } else {
        bed_start(VOLSCAN_BINARY, BED_SHIM);
        bed_set_primary(fixture);
    }

    std::string volscan = VOLSCAN_BINARY;
    std::string folder = volscan.substr(0, volscan.rfind('/'));
    const char* path = getenv("PATH");
    std::string program;
    std::vector<std::string> args;
    if (optind < argc) {
        for (int i = optind; i < argc; i++)
            args.push_back(argv[i]);
    } else {
        const char* shell = getenv("SHELL");
        args.push_back(shell ? shell : "/bin/sh");
    }
    // Resolve the command as a shell would, with volscan's folder first.
    std::string search = folder + ":" + (path ? path : "/usr/bin:/bin");
    if (args[0].find('/') != std::string::npos) {
        program = args[0];
    } else {
        size_t start = 0;
        while (program.empty() && start <= search.size()) {
            size_t end = search.find(':', start);
            if (end == std::string::npos)
                end = search.size();
            std::string candidate = search.substr(start, end - start) + "/" + args[0];
            if (access(candidate.c_str(), X_OK) == 0)
                program = candidate;
            start = end + 1;
        }
        if (program.empty()) {
            fprintf(stderr, "volscan-bed: %s: command not found\n", args[0].c_str());
            demo ? fleet_stop() : bed_stop();
            return 127;
        }
    }

    // Ctrl+C is for the program: the bed outlives it to report and clean up.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    run_options options;
    options.inherit_stdio = true;
    options.fast_sleep = quick;
    options.env.push_back("PATH=" + search);
    if (quick && paced)
        options.env.push_back("BED_PACED=1");
    if (demo) { // the fleet's devices, through the same shim
        options.env.push_back("UMOCKDEV_DIR=" + fleet_root());
        options.env.push_back(std::string("LD_PRELOAD=") + BED_SHIM + ":libumockdev-preload.so.0");
    }
    run_result result = bed_run(program, args, options);

    std::vector<std::string> violations = demo ? fleet_violations() : bed_take_log().violations;
    for (const std::string& v : violations)
        fprintf(stderr, "volscan-bed: %s\n", v.c_str());
    demo ? fleet_stop() : bed_stop();
    return violations.empty() ? result.status : 3;
}
