#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Faults planted in copies of the rendered dashboards must fail
# dashboard_check.sh, each with its own message, or its passing the real
# ones would prove nothing.
# Usage: dashboard_faults.sh DASHBOARDS_FOLDER
set -eu
for tool in jq promtool; do
    command -v $tool > /dev/null || { echo "$tool is missing" >&2; exit 77; }
done
here=$(cd "$(dirname "$0")" && pwd)
folder=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
# file # jq program on it # what the check must say
while IFS='#' read -r file program want; do
    jq "$program" "$folder/$file" > "$work/$file"
    # promtool only where the fault is a query's syntax: it takes a second.
    case $want in *parse*) promtool=promtool ;; *) promtool=none ;; esac
    if PROMTOOL=$promtool sh "$here/dashboard_check.sh" "$work/$file" > "$work/out" 2>&1; then
        echo "FAIL passed: $file with $program" >&2
        status=1
    elif ! grep -qF -- "$want" "$work/out"; then
        echo "FAIL $file with $program: expected '$want' in:" >&2
        cat "$work/out" >&2
        status=1
    fi
done << 'FAULTS'
volscan-ebs.json#(.panels[] | select(.title == "IOPS") | .targets[0].expr) |= sub("volume_id=~\"\\$volume\""; "volume_id!=\"\"")#draws every volume of the fleet
volscan-ebs.json#(.panels[] | select(.title == "Queue length") | .targets[0].expr) |= sub("volume_id=~\"\\$volume\""; "volume_id!=\"\"")#reads the raw series ebs_volume_queue_length of the whole fleet
volscan-ebs.json#(.templating.list[] | select(.name == "node")) |= . + {includeAll: true}#variable node starts at All
volscan-ebs.json#(.templating.list[] | select(.name == "volume")) |= . + {current: {text: ["All"], value: ["$__all"]}}#variable volume starts at All
volscan-ebs.json#(.templating.list[] | select(.name == "pvc_volume")) |= . + {allValue: ".*"}#variable pvc_volume starts at All
volscan-ebs.json#(.panels[] | select(.title == "IOPS") | .targets[0].legendFormat) = "{{instance}} read"#names a series by the exporter's address or a pod
volscan-ebs.json#(.panels[] | select(.title == "IOPS") | .targets[0].legendFormat) = "read"#has a legend without the node, the volume or the claim
volscan-ebs.json#(.panels[] | select(.title == "IOPS") | .id) = 2#panel id 2 used 2 times
volscan-ebs-fleet.json#(.panels[] | select(.title == "Most operations now") | .targets[0].expr) |= sub("topk\\(10,"; "topk(500,")#draws every volume of the fleet
volscan-ebs-fleet.json#(.panels[] | select(.title == "IOPS") | .targets[0].expr) |= sub("^sum\\("; "sum by (node) (")#draws every volume of the fleet
volscan-ebs-fleet.json#(.templating.list[] | select(.name == "top_ops") | .query.query) |= sub("topk\\(10,"; "topk(500,")#panel 21 draws every volume of the fleet
volscan-ebs-fleet.json#(.panels[] | select(.title == "IOPS") | .targets[0].expr) |= . + " +"#could not parse expression
FAULTS
exit $status
