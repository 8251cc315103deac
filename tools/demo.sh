#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Shows volscan at work: on this machine's EBS volumes when it has any,
# otherwise on an emulated EBS volume (nvme0, namespace nvme0n1), an emulated
# instance-storage disk and another vendor's controller.
#   tools/demo.sh BUILD_DIR
set -u
build=${1:-build}
volscan="$build/volscan"

real=""
for node in /dev/nvme[0-9]*; do
    case "$node" in *n[0-9]*) continue ;; esac
    [ -c "$node" ] && "$volscan" id -m "$node" >/dev/null 2>&1 && real="$real ${node#/dev/}"
done

if [ -n "$real" ]; then
    for name in $real; do
        echo "\$ volscan id -v -b -m -s $name"
        "$volscan" id -v -b -m -s "$name"
        echo "\$ volscan stats $name"
        "$volscan" stats "$name"
    done
    echo "\$ volscan top -n 3"
    "$volscan" top -n 3
    exit 0
fi

bed="$build/tests/bed/volscan-bed"
if [ ! -x "$bed" ]; then
    echo "demo: no EBS volume here, and no test bed in $build to emulate one" >&2
    exit 1
fi
echo "No EBS volume on this machine: volscan runs on emulated NVMe devices."
# Each line: fixture that nvme0 plays, then the command.
while read -r fixture command; do
    echo
    echo "\$ $command        # nvme0: $fixture"
    # shellcheck disable=SC2086
    "$bed" -f "$fixture" sh -c "$command"
    status=$?
    if [ "$status" -eq 124 ]; then
        echo "[stopped by the demo, as Ctrl+C would]"
    else
        echo "[exit status $status]"
    fi
done <<'EOF_DEMO'
ebs volscan id nvme0
ebs volscan-id -v -b -m -s /dev/nvme0n1
instance volscan id -m -s nvme0
instance volscan id nvme0
other volscan id nvme0
ebs volscan id /dev/null
ebs volscan id nvme99
ebs volscan stats nvme0
ebs volscan stats -j nvme0n1
ebs timeout -s INT 4.5 volscan stats -i 1 nvme0
ebs timeout -s INT 3.5 volscan stats -j -i 1 nvme0
ebs volscan top -n 3 nvme0
ebs volscan top -j -n 2 nvme0n1
instance volscan top nvme0
EOF_DEMO
exit 0
