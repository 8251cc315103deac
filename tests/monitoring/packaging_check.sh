#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The mixin as others take it:
# - a jsonnet-bundler package: monitoring/jsonnetfile.json, and the mixin
#   laid out in vendor/ as jb install lays out a dependency named
#   volscan-mixin, from which the kube-prometheus addon renders: the
#   dashboards as the committed files, a Role for the exporter's namespace,
#   and a PrometheusRule in kube-prometheus's namespace whose groups promtool
#   takes. The whole kube-prometheus example must parse (kube-prometheus
#   itself is not here to render it with).
# - the dashboards' ConfigMap for Grafana's sidecar, as kubectl kustomize
#   renders the component: labelled grafana_dashboard "1", in volscan's
#   namespace, and its data exactly what kubectl create configmap
#   --from-file makes of the dashboards folder.
# Usage: packaging_check.sh SOURCE_DIR
set -eu
for tool in jq jsonnet jsonnetfmt kubectl promtool; do
    command -v $tool > /dev/null || { echo "$tool is missing" >&2; exit 77; }
done
source=$(cd "$1" && pwd)
monitoring=$source/monitoring
component=$source/deploy/kubernetes/components/grafana-dashboard
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
    echo "FAIL $*" >&2
    status=1
}

jq -e '.version == 1 and (.dependencies | type == "array")' "$monitoring/jsonnetfile.json" > /dev/null \
    || fail "jsonnetfile.json is not a jsonnet-bundler file"

# --- kube-prometheus ---------------------------------------------------------
mkdir -p "$work/vendor"
cp -r "$monitoring" "$work/vendor/volscan-mixin"
timeout 60 jsonnet -J "$work/vendor" -m "$work" -e "
    local kp = (import 'volscan-mixin/examples/kube-prometheus-volscan.libsonnet')
               + { values+:: { common+: { namespace: 'monitoring' } } };
    { 'rule.json': kp.volscan.prometheusRule,
      'namespaces.json': kp.values.prometheus.namespaces,
      'dashboards.json': kp.values.grafana.dashboards }" > /dev/null \
    || fail "the kube-prometheus addon does not render"
if [ -s "$work/rule.json" ]; then
    [ "$(jq -r '"\(.apiVersion) \(.kind) \(.metadata.namespace)"' "$work/rule.json")" = \
      "monitoring.coreos.com/v1 PrometheusRule monitoring" ] \
        || fail "the addon's PrometheusRule: $(jq -c .metadata "$work/rule.json")"
    jq .spec "$work/rule.json" > "$work/groups.json"
    promtool check rules "$work/groups.json" > "$work/promtool.log" 2>&1 \
        || fail "the addon's rules: $(cat "$work/promtool.log")"
    [ "$(jq '.spec.groups | length' "$work/rule.json")" = \
      "$(cat "$monitoring/rules.yml" "$monitoring/alerts.yml" | grep -c '^  - name: ')" ] \
        || fail "the addon's PrometheusRule lacks groups of rules.yml and alerts.yml"
    [ "$(jq -c . "$work/namespaces.json")" = '["volscan"]' ] \
        || fail "the addon gives kube-prometheus's Prometheus the namespaces $(jq -c . "$work/namespaces.json")"
    for file in "$monitoring"/dashboards/*.json; do
        name=$(basename "$file")
        jq -S --arg name "$name" '.[$name]' "$work/dashboards.json" > "$work/addon-$name"
        jq -S . "$file" | cmp -s - "$work/addon-$name" || fail "the addon's $name differs from the committed one"
    done
fi
jsonnetfmt "$monitoring/examples/kube-prometheus.jsonnet" > /dev/null \
    || fail "examples/kube-prometheus.jsonnet does not parse"
grep -q "import 'volscan-mixin/examples/kube-prometheus-volscan.libsonnet'" "$monitoring/examples/kube-prometheus.jsonnet" \
    || fail "examples/kube-prometheus.jsonnet does not merge the addon"

# --- Grafana's sidecar -------------------------------------------------------
mkdir -p "$work/overlay"
cp -r "$component" "$work/overlay/component"
printf 'apiVersion: kustomize.config.k8s.io/v1beta1\nkind: Kustomization\ncomponents:\n  - component\n' \
    > "$work/overlay/kustomization.yaml"
if timeout 60 kubectl kustomize "$work/overlay" > "$work/configmap.yaml" 2> "$work/kustomize.log"; then
    data() { awk '/^[^ ]/ { inside = ($0 == "data:") } inside' "$1"; }
    timeout 60 kubectl create configmap volscan-exporter-dashboards --from-file="$monitoring/dashboards" \
        --dry-run=client -o yaml > "$work/expected.yaml"
    data "$work/expected.yaml" > "$work/expected.data"
    data "$work/configmap.yaml" > "$work/rendered.data"
    [ -s "$work/expected.data" ] && diff -u "$work/expected.data" "$work/rendered.data" > "$work/data.diff" \
        || fail "the ConfigMap's data are not the dashboards folder's files (make mixin): $(head -n 20 "$work/data.diff")"
    for want in 'kind: ConfigMap' '    grafana_dashboard: "1"' '  name: volscan-exporter-dashboards' '  namespace: volscan'; do
        grep -qxF "$want" "$work/configmap.yaml" || fail "the ConfigMap lacks '$want'"
    done
    [ "$(grep -c '^kind: ' "$work/configmap.yaml")" = 1 ] || fail "the component renders more than the ConfigMap"
    # kubectl apply keeps the whole object in an annotation of at most 256 KiB.
    [ "$(wc -c < "$work/configmap.yaml")" -lt 200000 ] || fail "the ConfigMap is too large for kubectl apply"
else
    fail "kubectl kustomize: $(cat "$work/kustomize.log")"
fi
exit $status
