#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Renders the mixin into a temporary folder and fails on any difference from
# the rendered files committed beside it and from the committed
# PrometheusRule and dashboards' ConfigMap (make mixin renders them again).
# Usage: regenerate.sh MONITORING_DIR PROMETHEUSRULE DASHBOARDS_CONFIGMAP
set -eu
command -v jsonnet > /dev/null || { echo "jsonnet is missing" >&2; exit 77; }
monitoring=$1
rule=$2
configmap=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
sh "$monitoring/generate.sh" "$out" "$out/prometheusrule.yaml" "$out/configmap.yaml"
status=0
differs() {
    if ! diff -u "$1" "$2"; then
        echo "$3 differs from what the mixin renders: run make mixin" >&2
        status=1
    fi
}
for file in rules.yml alerts.yml $(cd "$out" && ls dashboards/*.json) $(cd "$monitoring" && ls dashboards/*.json); do
    differs "$monitoring/$file" "$out/$file" "$file"
done
differs "$rule" "$out/prometheusrule.yaml" "$rule"
differs "$configmap" "$out/configmap.yaml" "$configmap"
exit $status
