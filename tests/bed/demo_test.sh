#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# make demo's story on an existing build: at most about two screens, a
# throttled volume in top, one scrape of the exporter where it was built, and
# the closing "What next"; nothing on standard error.
#   tests/bed/demo_test.sh SOURCE_DIR BUILD_DIR
set -u
source_dir=$1
build=$2
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
fail() { echo "demo_test: $1" >&2; cat "$out" >&2; cat "$err" >&2; exit 1; }

# A port of its own, so that two builds' tests at once do not meet.
DEMO_PORT=$((20000 + $$ % 20000)) timeout 60 sh "$source_dir/tools/demo.sh" -s "$build" >"$out" 2>"$err"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
[ -s "$err" ] && fail "standard error is not empty"
lines=$(wc -l <"$out")
[ "$lines" -le 120 ] || fail "$lines lines, more than 120"

# Three blocks of top, the database volume 40 % over its provisioned IOPS.
throttled='^nvme1n1 +vol-0b8e3a2f7c6d51402 +2400\.0 +600\.0 .* 32 +40\.0 +0\.0 +0\.0 +0\.0$'
[ "$(grep -cE "$throttled" "$out")" -eq 3 ] || fail "no throttled row in each of top's three blocks"
grep -qx 'Volume ID: vol-0b8e3a2f7c6d51402' "$out" || fail "no volscan id"
grep -qx '  IOPS: 103680000000' "$out" || fail "no volscan stats"
if [ -x "$build/src/exporter/volscan-exporter" ]; then
    for line in 'volscan-exporter: found 4 volumes, 1 instance-storage disk' 'ebs_volumes 4' \
                'ebs_instance_storage_disks 1'; do
        grep -qxF "$line" "$out" || fail "no line: $line"
    done
    # Its counters move with the clock: the value is three days' worth and a little.
    grep -qE '^ebs_volume_performance_exceeded_iops_seconds_total\{volume_id="vol-0b8e3a2f7c6d51402",device="nvme1n1"\} 1036[89][0-9]' "$out" \
        || fail "no throttling counter of nvme1n1"
    grep -q '^Its families: ebs_read_ops_total ' "$out" || fail "no families"
else
    grep -q '^volscan-exporter was not built' "$out" || fail "no word of the missing exporter"
fi
grep -qx 'What next' "$out" || fail "no What next"
grep -q 'docs/kubernetes.md' "$out" || fail "What next names no docs/kubernetes.md"
exit 0
