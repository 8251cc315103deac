#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Writes the rendered dashboards in one ConfigMap that Grafana's dashboard
# sidecar loads (it watches ConfigMaps labelled grafana_dashboard: "1"), for
# deploy/kubernetes: each file of the folder byte for byte, its empty last
# line kept by the block scalar (|+). generate.sh calls it.
# Usage: dashboards-configmap.sh DASHBOARDS_FOLDER > configmap.yaml
set -eu
cat << 'HEAD'
# SPDX-License-Identifier: BSD-2-Clause
# Rendered from the jsonnet in monitoring/ by make mixin: change that, not this file.
apiVersion: v1
kind: ConfigMap
metadata:
  name: volscan-exporter-dashboards
  labels:
    grafana_dashboard: "1"
data:
HEAD
for file in "$1"/*.json; do
    printf '  %s: |+\n' "$(basename "$file")"
    sed 's/^./    &/' "$file"
done
