#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Renders the mixin into a temporary folder and fails on any difference from
# the rendered files committed beside it (make mixin renders them again).
# Usage: regenerate.sh MONITORING_DIR
set -eu
command -v jsonnet > /dev/null || { echo "jsonnet is missing" >&2; exit 77; }
monitoring=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
sh "$monitoring/generate.sh" "$out"
status=0
for file in rules.yml alerts.yml $(cd "$out" && ls dashboards/*.json) $(cd "$monitoring" && ls dashboards/*.json); do
    if ! diff -u "$monitoring/$file" "$out/$file"; then
        echo "$file differs from what the mixin renders: run make mixin" >&2
        status=1
    fi
done
exit $status
