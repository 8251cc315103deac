#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# The Kubernetes manifests as a cluster gets them: every kustomization under
# deploy/kubernetes rendered by kubectl kustomize (the components all
# together, in an overlay made here), and every document validated against
# the Kubernetes API's schemas and the Prometheus Operator's (validate.js,
# with the npm packages that package-lock.json pins, installed by npm ci
# into WORK_DIR). The DaemonSet has what a fleet needs (settings.js). Faults
# planted in copies of the rendered YAML must fail, or a pass would prove
# nothing. The PrometheusRule's rules and the plain Prometheus scrape
# configuration go through promtool, and a real Prometheus shows the target
# labels that the scrape job and the PodMonitor give (prometheus_jobs.js).
#
# Usage: manifests.sh SOURCE_DIR WORK_DIR
# Exit status 0 passed, 1 failed, 77 skipped (no kubectl, node, npm, promtool,
# prometheus or curl, or the npm registry cannot be reached for a first
# install).
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

for tool in kubectl node npm promtool prometheus curl; do
    command -v $tool >/dev/null || skip "no $tool (tools/install-deps.sh kubernetes)"
done

# The validator's packages, installed again when the lock file changes.
npm_dir=$work/npm
mkdir -p "$npm_dir"
cp "$source_dir/tests/kubernetes/package.json" "$source_dir/tests/kubernetes/package-lock.json" \
    "$source_dir/tests/kubernetes/validate.js" "$source_dir/tests/kubernetes/settings.js" \
    "$source_dir/tests/kubernetes/prometheus_jobs.js" "$npm_dir/"
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
# Every component at once, the Prometheus Operator's first: the others add
# to its objects.
all=$work/all
mkdir -p "$all"
relative=$(realpath --relative-to="$all" "$deploy")
{
    echo "apiVersion: kustomize.config.k8s.io/v1beta1"
    echo "kind: Kustomization"
    echo "resources:"
    echo "  - $relative/base"
    echo "components:"
    echo "  - $relative/components/prometheus-operator"
    for component in "$deploy"/components/*/; do
        component=$(basename "$component")
        [ "$component" != prometheus-operator ] || continue
        grep -q '^kind: Component$' "$deploy/components/$component/kustomization.yaml" &&
            echo "  - $relative/components/$component"
    done
} >"$all/kustomization.yaml"

# The patches that docs/kubernetes.md shows, in one overlay: they must
# apply, and give valid objects.
documented=$work/documented
mkdir -p "$documented"
{
    echo "apiVersion: kustomize.config.k8s.io/v1beta1"
    echo "kind: Kustomization"
    echo "resources:"
    echo "  - $relative/base"
    echo "components:"
    echo "  - $relative/components/prometheus-operator"
    echo "  - $relative/components/network-policy"
    echo "patches:"
    # The yaml blocks that begin with "patches:", less that line.
    awk '/^```yaml$/ { inside = 1; first = 1; next }
         inside && /^```$/ { inside = 0; next }
         inside && first { first = 0; keep = ($0 == "patches:"); next }
         inside && keep' "$source_dir/docs/kubernetes.md"
} >"$documented/kustomization.yaml"
grep -q '^  - target:$' "$documented/kustomization.yaml" || fail "docs/kubernetes.md shows no patches"

# Any other overlay under deploy/kubernetes, on its own.
others=()
while read -r file; do
    dir=${file%/kustomization.yaml}
    case $dir in "$deploy/base" | "$deploy/example" | "$deploy"/components/*) continue ;; esac
    grep -q '^kind: Kustomization$' "$file" && others+=("${dir#"$deploy"/}")
done < <(find "$deploy" -name kustomization.yaml | sort)

files=()
for name in base example all documented "${others[@]}"; do
    dir=$deploy/$name
    [ "$name" != all ] || dir=$all
    [ "$name" != documented ] || dir=$documented
    name=${name//\//-}
    if ! timeout 60 kubectl kustomize "$dir" >"$work/$name.yaml" 2>"$work/$name.err"; then
        fail "kubectl kustomize $name: $(cat "$work/$name.err")"
        exit 1
    fi
    files+=("$work/$name.yaml")
done

# --- A Prometheus, started now: it shows its targets after some seconds -----

# Debian's Prometheus is built without Kubernetes service discovery, so
# promtool and Prometheus get the plain job with a static target in place of
# kubernetes_sd_configs. The target's labels are those discovery would give
# an exporter pod; a second target, on another port of the pod, must go.
scrape=$deploy/prometheus/scrape-config.yml
node_name=ip-10-0-1-17.eu-west-1.compute.internal
grep -q '^    kubernetes_sd_configs:$' "$scrape" || fail "the scrape configuration has no kubernetes_sd_configs"
awk -v node="$node_name" '
    function target(address, port) {
        print "      - targets: [\"" address "\"]\n        labels:"
        print "          __meta_kubernetes_namespace: volscan"
        print "          __meta_kubernetes_pod_name: volscan-exporter-x7k2p"
        print "          __meta_kubernetes_pod_container_name: exporter"
        print "          __meta_kubernetes_pod_container_port_name: " port
        print "          __meta_kubernetes_pod_node_name: " node
    }
    /^    kubernetes_sd_configs:$/ {
        print "    static_configs:"; target("127.0.0.1:9", "metrics"); target("127.0.0.1:7", "other")
        skip = 1; next
    }
    skip && /^    [a-z]/ { skip = 0 }
    !skip' "$scrape" >"$work/scrape-config.yml"

(cd "$npm_dir" && timeout 30 node prometheus_jobs.js config "$work/example.yaml" "$work/scrape-config.yml") \
    >"$work/prometheus.yml"
port=$(timeout 10 node -e 'const s = require("net").createServer().listen(0, "127.0.0.1", () => {
    console.log(s.address().port); s.close(); })')
rm -rf "$work/prometheus-data"
timeout 120 prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/prometheus-data" \
    --web.listen-address="127.0.0.1:$port" >"$work/prometheus.log" 2>&1 &
prometheus_pid=$!
trap 'kill $prometheus_pid 2>/dev/null; wait $prometheus_pid 2>/dev/null || true' EXIT

# --- Planted faults ----------------------------------------------------------

# name | rendered file | sed expression on it | what the failure must say
faults="misspelt container field|example|s/imagePullPolicy:/imagePullPolicyy:/|DaemonSet volscan/volscan-exporter: Kubernetes 1.31 types: Object literal may only specify known properties, and '\"imagePullPolicyy\"' does not exist in type 'IContainer'.
a string for a port number|example|s/containerPort: 9720/containerPort: \"9720\"/|DaemonSet volscan/volscan-exporter: Kubernetes 1.33 schema: data/spec/template/spec/containers/0/ports/0/containerPort must be integer
misspelt pod field|example|s/hostNetwork:/hostNetwrok:/|DaemonSet volscan/volscan-exporter: Kubernetes 1.33 types: Object literal may only specify known properties, and '\"hostNetwrok\"' does not exist in type 'IPodSpec'.
a value outside the enum|example|s/type: RuntimeDefault/type: Runtime/|DaemonSet volscan/volscan-exporter: Kubernetes 1.33 schema: data/spec/template/spec/securityContext/seccompProfile/type must be equal to one of the allowed values
a missing required field|example|/^        name: exporter\$/d|DaemonSet volscan/volscan-exporter: Kubernetes 1.31 schema: data/spec/template/spec/containers/0 must have required property name
misspelt PodMonitor field|example|s/scrapeTimeout:/scrapeTimout:/|PodMonitor volscan/volscan-exporter: Prometheus Operator types: Object literal may only specify known properties, and '\"scrapeTimout\"' does not exist in type
a number for a PodMonitor string|example|s/interval: 30s/interval: 30/|PodMonitor volscan/volscan-exporter: Prometheus Operator schema: data/spec/podMetricsEndpoints/0/interval must be string
a kind without a schema|example|s/^kind: PodMonitor\$/kind: PodMonitr/|PodMonitr volscan/volscan-exporter: no schema for apiVersion monitoring.coreos.com/v1, kind PodMonitr
misspelt NetworkPolicy field|all|s/^  policyTypes:\$/  policyType:/|NetworkPolicy volscan/volscan-exporter: Kubernetes 1.31 types: Object literal may only specify known properties, and '\"policyType\"' does not exist in type 'INetworkPolicySpec'.
a RoleBinding without its role|all|s/^roleRef:\$/roleReference:/|RoleBinding volscan/volscan-prometheus-k8s: Kubernetes 1.33 schema: data must have required property roleRef"
n=0
while IFS='|' read -r name from expression want; do
    n=$((n + 1))
    sed "$expression" "$work/$from.yaml" >"$work/fault-$n.yaml"
    cmp -s "$work/$from.yaml" "$work/fault-$n.yaml" && fail "$name: the fault was not planted ($expression)"
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
# The documented patches: the release label on both objects, the policy's
# "from" replaced.
got=$(section "$work/documented.yaml")
if grep -qv '^ok' <<<"$got" || [ "$(grep -c '^    release: monitoring$' "$work/documented.yaml")" != 2 ] ||
    ! grep -q '^          kubernetes.io/metadata.name: monitoring$' "$work/documented.yaml"; then
    fail "the patches of docs/kubernetes.md: $(grep -v '^ok' <<<"$got")"
else
    echo "ok   the patches of docs/kubernetes.md: $(grep -c '^ok' <<<"$got") documents valid"
fi
# Any other overlay: valid.
for name in "${others[@]}"; do
    got=$(section "$work/${name//\//-}.yaml")
    if grep -qv '^ok' <<<"$got"; then
        fail "$name: validation:"
        sed 's/^/    | /' <<<"$got"
    else
        echo "ok   $name: $(grep -c '^ok' <<<"$got") documents valid"
    fi
done
# All the components: these at least (others' may add more), all valid.
want_all="ok   Namespace volscan
ok   ServiceAccount volscan/volscan-exporter
ok   Role volscan/volscan-prometheus-k8s
ok   RoleBinding volscan/volscan-prometheus-k8s
ok   Service volscan/volscan-exporter
ok   DaemonSet volscan/volscan-exporter
ok   PodMonitor volscan/volscan-exporter
ok   PrometheusRule volscan/NAME
ok   NetworkPolicy volscan/volscan-exporter"
got=$(section "$work/all.yaml" | sed 's|^ok   PrometheusRule volscan/.*|ok   PrometheusRule volscan/NAME|')
if grep -qv '^ok' <<<"$got" || grep -qvxFf <(echo "$got") <<<"$want_all"; then
    fail "all the components: validation:"
    diff <(echo "$want_all") <(echo "$got") | sed 's/^/    | /' || true
else
    echo "ok   all the components: $(grep -c '^ok' <<<"$got") documents valid"
fi

# Each fault fails, and says what it is.
n=0
while IFS='|' read -r name from expression want; do
    n=$((n + 1))
    got=$(section "$work/fault-$n.yaml")
    if ! grep -qF "FAIL $want" <<<"$got"; then
        fail "$name: no \"FAIL $want\" in:"
        grep '^FAIL' <<<"$got" | sed 's/^/    | /'
    else
        echo "ok   $name fails"
    fi
done <<<"$faults"

# --- What a fleet needs of the DaemonSet and the selectors ------------------

version=$(sed -n 's/^project(volscan VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
[ -n "$version" ] || fail "no version in CMakeLists.txt"
settings() {
    (cd "$npm_dir" && timeout 30 node settings.js "$@")
}
for name in example all; do
    if out=$(settings "$work/$name.yaml" "$version"); then
        echo "ok   $name: $(grep -c '^ok' <<<"$out") settings as a fleet needs them"
    else
        fail "$name: settings:"
        grep -v '^ok' <<<"$out" | sed 's/^/    | /'
    fi
done
# name | sed expression on the rendered example | what the failure must say
wrong="one node at a time|s/maxUnavailable: 10%/maxUnavailable: 1/|DaemonSet volscan/volscan-exporter: maxUnavailable is 1, not 10%
a surge|s/maxSurge: 0/maxSurge: 1/|DaemonSet volscan/volscan-exporter: maxSurge is 1: two exporters on one node
Fargate admitted|/^                - fargate\$/d|DaemonSet volscan/volscan-exporter: node affinity is [[\"eks.amazonaws.com/compute-type NotIn hybrid\",\"kubernetes.io/arch In amd64,arm64\",\"kubernetes.io/os In linux\"]], not [[\"eks.amazonaws.com/compute-type NotIn fargate,hybrid\",\"kubernetes.io/arch In amd64,arm64\",\"kubernetes.io/os In linux\"]]
no priority class|/^      priorityClassName:/d|DaemonSet volscan/volscan-exporter: priorityClassName is undefined, not system-node-critical
the default termination message path|/^        terminationMessagePath:/d|DaemonSet volscan/volscan-exporter: container exporter: the termination message goes to /dev/termination-log, in /dev
a termination message in a host folder|s#^        terminationMessagePath: .*#        terminationMessagePath: /host/log#;s#^        - mountPath: /dev\$#        - mountPath: /host#|DaemonSet volscan/volscan-exporter: container exporter: the termination message goes to /host/log, in the host's /host
the version in the selector|s#^      app.kubernetes.io/part-of: volscan\$#      app.kubernetes.io/version: $version#|DaemonSet volscan/volscan-exporter: the selector has app.kubernetes.io/version, which may change
a label missing|\#^    app.kubernetes.io/managed-by: kustomize\$#d|DaemonSet volscan/volscan-exporter: no label app.kubernetes.io/managed-by
another version|s#app.kubernetes.io/version: $version#app.kubernetes.io/version: 0.9.0#|DaemonSet volscan/volscan-exporter: app.kubernetes.io/version is 0.9.0, not $version"
n=0
while IFS='|' read -r name expression want; do
    n=$((n + 1))
    sed "$expression" "$work/example.yaml" >"$work/wrong-$n.yaml"
    if cmp -s "$work/example.yaml" "$work/wrong-$n.yaml"; then
        fail "$name: the fault was not planted ($expression)"
    elif out=$(settings "$work/wrong-$n.yaml" "$version"); then
        fail "$name: settings.js passed it"
    elif ! grep -qxF "FAIL $want" <<<"$out"; then
        fail "$name: no \"FAIL $want\" in:"
        grep '^FAIL' <<<"$out" | sed 's/^/    | /'
    else
        echo "ok   $name fails"
    fi
done <<<"$wrong"

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

# The plain job, with its static target (above).
if out=$(timeout 30 promtool check config "$work/scrape-config.yml" 2>&1); then
    echo "ok   the scrape configuration"
else
    fail "promtool check config:"
    sed 's/^/    | /' <<<"$out"
fi
# --- The target labels, as Prometheus gives them -----------------------------

# Each exporter's series belong to its node: instance and node are the
# node's name, and nothing names the pod (the Operator's own labels go).
# Without the labeldrop, the pod's labels would stay: the check sees them.
want_targets="ebs: instance=\"$node_name\",job=\"ebs\",node=\"$node_name\"
podMonitor/volscan/volscan-exporter/0 without labeldrop: container=\"exporter\",endpoint=\"metrics\",instance=\"$node_name\",job=\"ebs\",namespace=\"volscan\",node=\"$node_name\",pod=\"volscan-exporter-x7k2p\"
podMonitor/volscan/volscan-exporter/0: instance=\"$node_name\",job=\"ebs\",node=\"$node_name\"
dropped: 3"
got=""
for _ in $(seq 60); do
    if answer=$(curl -sf -m 2 "http://127.0.0.1:$port/api/v1/targets") &&
        got=$(cd "$npm_dir" && timeout 10 node prometheus_jobs.js targets <<<"$answer") &&
        [ "$(grep -c . <<<"$got")" -ge 4 ]; then
        break
    fi
    kill -0 $prometheus_pid 2>/dev/null || break
    sleep 0.5
done
if [ "$got" = "$want_targets" ]; then
    echo "ok   the target labels of the scrape job and the PodMonitor"
else
    fail "the target labels, from Prometheus's /api/v1/targets:"
    diff <(echo "$want_targets") <(echo "$got") | sed 's/^/    | /' || true
    tail -n 5 "$work/prometheus.log" | sed 's/^/    | /'
fi

# The documentation shows the same configuration.
if [[ "$(cat "$source_dir/docs/kubernetes.md")" != *"$(sed '/^#/d' "$scrape")"* ]]; then
    fail "docs/kubernetes.md does not show deploy/kubernetes/prometheus/scrape-config.yml as it is"
fi

exit $failed
