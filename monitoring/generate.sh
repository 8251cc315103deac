#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Renders the mixin: rules.yml, alerts.yml and dashboards/*.json into a
# folder, by default the one beside this script (make mixin).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
mkdir -p "$out/dashboards"
jsonnet -J "$here" -S "$here/rules.jsonnet" > "$out/rules.yml"
jsonnet -J "$here" -S "$here/alerts.jsonnet" > "$out/alerts.yml"
jsonnet -J "$here" -S -m "$out/dashboards" "$here/dashboards.jsonnet" > /dev/null
