#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# The Kubernetes manifests as a cluster gets them: every kustomization under
# deploy/kubernetes rendered by kubectl kustomize, and every document
# validated against the Kubernetes API's schemas and the Prometheus
# Operator's (validate.js, with the npm packages that package-lock.json
# pins, installed by npm ci into WORK_DIR). Faults planted in copies of the
# rendered YAML must fail, or a pass would prove nothing. The PrometheusRule's
# rules and the plain Prometheus scrape configuration go through promtool.
#
# Usage: manifests.sh SOURCE_DIR WORK_DIR
# Exit status 0 passed, 1 failed, 77 skipped (no kubectl, node or npm, or the
# npm registry cannot be reached for a first install).
set -euo pipefail

source_dir=$(cd "$1" && pwd)
work=$2
mkdir -p "$work"
work=$(cd "$work" && pwd)
deploy=$source_dir/deploy/kubernetes

skip() {
    echo "SKIPPED: $*"
    exit 77
}
failed=0
fail() {
    echo "FAIL $*"
    failed=1
}

for tool in kubectl node npm promtool; do
    command -v $tool >/dev/null || skip "no $tool (tools/install-deps.sh kubernetes)"
done

# The validator's packages, installed again when the lock file changes.
npm_dir=$work/npm
mkdir -p "$npm_dir"
cp "$source_dir/tests/kubernetes/package.json" "$source_dir/tests/kubernetes/package-lock.json" \
    "$source_dir/tests/kubernetes/validate.js" "$npm_dir/"
if ! cmp -s "$npm_dir/package-lock.json" "$npm_dir/node_modules/.installed-lock.json" 2>/dev/null; then
    (cd "$npm_dir" && timeout 240 npm ci --no-audit --no-fund --loglevel=error) >"$work/npm.log" 2>&1 \
        || skip "npm ci failed: $(tail -n 1 "$work/npm.log")"
    cp "$npm_dir/package-lock.json" "$npm_dir/node_modules/.installed-lock.json"
fi
validate() {
    timeout 60 node "$npm_dir/validate.js" "$@"
}

# --- Rendered ----------------------------------------------------------------

# One validation for all the files: compiling the types costs the most.
# section FILE: the lines that validate.js printed for FILE.
section() {
    awk -v file="# $1" '/^# / { inside = ($0 == file); next } inside' "$work/validation.log"
}
files=()
for name in base example; do
    if ! timeout 60 kubectl kustomize "$deploy/$name" >"$work/$name.yaml" 2>"$work/$name.err"; then
        fail "kubectl kustomize $name: $(cat "$work/$name.err")"
        exit 1
    fi
    files+=("$work/$name.yaml")
done

# --- Planted faults ----------------------------------------------------------

# name | sed expression on the rendered example | what the failure must say
faults="misspelt container field|s/imagePullPolicy:/imagePullPolicyy:/|DaemonSet volscan/volscan-exporter: Kubernetes 1.31 types: Object literal may only specify known properties, and '\"imagePullPolicyy\"' does not exist in type 'IContainer'.
a string for a port number|s/containerPort: 9720/containerPort: \"9720\"/|DaemonSet volscan/volscan-exporter: Kubernetes 1.33 schema: data/spec/template/spec/containers/0/ports/0/containerPort must be integer
misspelt pod field|s/hostNetwork:/hostNetwrok:/|DaemonSet volscan/volscan-exporter: Kubernetes 1.33 types: Object literal may only specify known properties, and '\"hostNetwrok\"' does not exist in type 'IPodSpec'.
a value outside the enum|s/type: RuntimeDefault/type: Runtime/|DaemonSet volscan/volscan-exporter: Kubernetes 1.33 schema: data/spec/template/spec/securityContext/seccompProfile/type must be equal to one of the allowed values
a missing required field|/^        name: exporter\$/d|DaemonSet volscan/volscan-exporter: Kubernetes 1.31 schema: data/spec/template/spec/containers/0 must have required property name
misspelt PodMonitor field|s/scrapeTimeout:/scrapeTimout:/|PodMonitor volscan/volscan-exporter: Prometheus Operator types: Object literal may only specify known properties, and '\"scrapeTimout\"' does not exist in type
a number for a PodMonitor string|s/interval: 30s/interval: 30/|PodMonitor volscan/volscan-exporter: Prometheus Operator schema: data/spec/podMetricsEndpoints/0/interval must be string
a kind without a schema|s/^kind: PodMonitor\$/kind: PodMonitr/|PodMonitr volscan/volscan-exporter: no schema for apiVersion monitoring.coreos.com/v1, kind PodMonitr"
n=0
while IFS='|' read -r name expression want; do
    n=$((n + 1))
    sed "$expression" "$work/example.yaml" >"$work/fault-$n.yaml"
    cmp -s "$work/example.yaml" "$work/fault-$n.yaml" && fail "$name: the fault was not planted ($expression)"
    files+=("$work/fault-$n.yaml")
done <<<"$faults"

status=0
validate "${files[@]}" >"$work/validation.log" || status=$?
[ "$status" -eq 1 ] || fail "the validator exited $status, not 1, with faults among its files"

# --- Every kustomization, rendered and valid ---------------------------------

want_base="ok   Namespace volscan
ok   ServiceAccount volscan/volscan-exporter
ok   Service volscan/volscan-exporter
ok   DaemonSet volscan/volscan-exporter"
want_example="$want_base
ok   PodMonitor volscan/volscan-exporter
ok   PrometheusRule volscan/NAME"
for name in base example; do
    want=want_$name
    # make mixin names the PrometheusRule.
    got=$(section "$work/$name.yaml" | sed 's|^ok   PrometheusRule volscan/.*|ok   PrometheusRule volscan/NAME|')
    if [ "$got" != "${!want}" ]; then
        fail "$name: validation:"
        diff <(echo "${!want}") <(echo "$got") | sed 's/^/    | /' || true
    else
        echo "ok   $name: $(grep -c '^ok' <<<"$got") documents valid"
    fi
done

# Each fault fails, and says what it is.
n=0
while IFS='|' read -r name expression want; do
    n=$((n + 1))
    got=$(section "$work/fault-$n.yaml")
    if ! grep -qF "FAIL $want" <<<"$got"; then
        fail "$name: no \"FAIL $want\" in:"
        grep '^FAIL' <<<"$got" | sed 's/^/    | /'
    else
        echo "ok   $name fails"
    fi
done <<<"$faults"

# --- The rules and the plain scrape configuration, by promtool ---------------

# The PrometheusRule's groups as a rule file of Prometheus's own.
timeout 30 node -e '
const YAML = require(process.argv[1] + "/node_modules/yaml");
const fs = require("fs");
for (const doc of YAML.parseAllDocuments(fs.readFileSync(process.argv[2], "utf8")).map((d) => d.toJS()))
    if (doc && doc.kind === "PrometheusRule") process.stdout.write(YAML.stringify({ groups: doc.spec.groups }));
' "$npm_dir" "$work/example.yaml" >"$work/rules.yml"
if out=$(timeout 30 promtool check rules "$work/rules.yml" 2>&1) && [ -s "$work/rules.yml" ]; then
    echo "ok   the PrometheusRule's rules: $(sed -n 's/.*SUCCESS: \([0-9]*\) rules found.*/\1/p' <<<"$out") rules"
else
    fail "promtool check rules on the PrometheusRule's groups:"
    sed 's/^/    | /' <<<"$out"
fi

# Debian's Prometheus is built without Kubernetes service discovery, so
# promtool checks the rest of the job with a static target in its place.
scrape=$deploy/prometheus/scrape-config.yml
grep -q '^    kubernetes_sd_configs:$' "$scrape" || fail "the scrape configuration has no kubernetes_sd_configs"
awk '/^    kubernetes_sd_configs:$/ { print "    static_configs:\n      - targets: [\"127.0.0.1:9720\"]"; skip = 1; next }
     skip && /^    [a-z]/ { skip = 0 }
     !skip' "$scrape" >"$work/scrape-config.yml"
if out=$(timeout 30 promtool check config "$work/scrape-config.yml" 2>&1); then
    echo "ok   the scrape configuration"
else
    fail "promtool check config:"
    sed 's/^/    | /' <<<"$out"
fi
# The documentation shows the same configuration.
if [[ "$(cat "$source_dir/docs/kubernetes.md")" != *"$(sed '/^#/d' "$scrape")"* ]]; then
    fail "docs/kubernetes.md does not show deploy/kubernetes/prometheus/scrape-config.yml as it is"
fi

exit $failed
