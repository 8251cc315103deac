#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Renders the mixin: rules.yml, alerts.yml and dashboards/*.json into a
# folder, by default the one beside this script, the PrometheusRule into a
# file, by default deploy/kubernetes's, and the dashboards' ConfigMap into
# another, by default deploy/kubernetes's too (make mixin).
# Usage: generate.sh [FOLDER [PROMETHEUSRULE [DASHBOARDS_CONFIGMAP]]]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
rule=${2:-$here/../deploy/kubernetes/components/prometheus-operator/prometheusrule.yaml}
configmap=${3:-$here/../deploy/kubernetes/components/grafana-dashboard/configmap.yaml}
mkdir -p "$out/dashboards" "$(dirname "$rule")" "$(dirname "$configmap")"
jsonnet -J "$here" -S "$here/rules.jsonnet" > "$out/rules.yml"
jsonnet -J "$here" -S "$here/alerts.jsonnet" > "$out/alerts.yml"
jsonnet -J "$here" -S -m "$out/dashboards" "$here/dashboards.jsonnet" > /dev/null
jsonnet -J "$here" -S "$here/prometheusrule.jsonnet" > "$rule"
sh "$here/dashboards-configmap.sh" "$out/dashboards" > "$configmap"
