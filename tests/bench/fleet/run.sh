#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# What a fleet costs the Prometheus that watches it (make bench-fleet).
#
#   run.sh BUILD_FOLDER [OUTPUT_FOLDER]
#
# For each size, a fleet of nodes of 27 volumes each (fleet_server) is scraped
# by Debian's Prometheus with the documented job's labels (job ebs, instance
# and node the node's name) and kube-state-metrics' series, with the tree's
# monitoring/rules.yml and alerts.yml loaded, scrape and evaluation every
# 15 s. After FLEET_WARM seconds it measures, over FLEET_MEASURE seconds:
# head series, series per volume, Prometheus's RSS and CPU, each rule group's
# evaluation time and missed iterations; then each panel of the tree's
# dashboards at its default selection and at "All". One more run with the
# device's worst case of 64 bins serves the first FLEET_MERGED_NODES nodes a
# second time with the bins merged into a dozen bounds, and measures what
# that costs the quantiles. Results: OUTPUT_FOLDER (build-bench/fleet) holds
# results.tsv, panels.tsv, pages.tsv, quantiles.tsv, table.md and fleet.svg.
#
# Settings (environment): FLEET_SIZES (nodes, in the order they run; default
# "50 500 100 200 300 400": the largest early, so that a short run has it), FLEET_WORST (nodes of the 64-bin run, default 100; empty: none),
# FLEET_WARM (default 240), FLEET_MEASURE (default 180), FLEET_DEADLINE
# (seconds for the whole run, default 5400: a size that would not finish in
# time is not started), FLEET_MIN_FREE_MB (stop a size when the machine's
# available memory falls below it, default 1500), FLEET_QUERY_TIMEOUT (a
# query's limit, default 30 s), FLEET_PANEL_BUDGET (seconds for the panels
# of one selection, default 300: the panels past it are listed untimed).
set -u
build=${1:?usage: run.sh BUILD_FOLDER [OUTPUT_FOLDER]}
out=${2:-$build/fleet}
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/../../.." && pwd)
server=$build/tests/bench/fleet_server
sizes=${FLEET_SIZES:-50 500 100 200 300 400}
worst=${FLEET_WORST-100}
warm=${FLEET_WARM:-240}
measure=${FLEET_MEASURE:-180}
deadline=$(($(date +%s) + ${FLEET_DEADLINE:-5400}))
min_free=${FLEET_MIN_FREE_MB:-1500}
panel_budget=${FLEET_PANEL_BUDGET:-300}
query_timeout=${FLEET_QUERY_TIMEOUT:-30}
merged_nodes=${FLEET_MERGED_NODES:-20}
bounds=0.000064,0.000128,0.000256,0.000512,0.001024,0.002048,0.004096,0.008192,0.016384,0.032768,0.065536,0.131072

for tool in prometheus curl jq gnuplot; do
    command -v $tool >/dev/null || { echo "skipped: no $tool (tools/install-deps.sh bench)"; exit 77; }
done
[ -x "$server" ] || { echo "run.sh: no $server: build the bench first" >&2; exit 1; }
mkdir -p "$out" || exit 1
out=$(cd "$out" && pwd)
server_pid= prometheus_pid=
stop() { # PID: TERM, up to 60 s, then KILL
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null
    i=0
    while kill -0 "$1" 2>/dev/null && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
    kill -9 "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
cleanup() { stop "$prometheus_pid"; stop "$server_pid"; prometheus_pid= server_pid=; }
trap 'cleanup; exit 1' INT TERM
trap cleanup EXIT

free_port() {
    p=$(( $1 + $$ % 500 ))
    while [ -n "$(ss -Htln "sport = :$p" 2>/dev/null)" ]; do p=$((p + 1)); done
    echo $p
}
available_mb() { awk '/^MemAvailable:/ { print int($2 / 1024) }' /proc/meminfo; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_mb() { awk -v f="$2" '$1 == f":" { print int($2 / 1024) }' "/proc/$1/status"; }
ticks=$(getconf CLK_TCK)

# api PATH [curl arguments]: Prometheus's answer, in at most FLEET_QUERY_TIMEOUT seconds.
api() {
    path=$1
    shift
    curl -sS -m "$query_timeout" "$@" "http://127.0.0.1:$prom_port$path"
}
# scalar EXPR: the value of a query with one sample, or "-".
scalar() {
    api /api/v1/query --data-urlencode "query=$1" | jq -r '.data.result[0].value[1] // "-"'
}
# counter NAME GROUP: a rule group's counter from Prometheus's own page.
counter() {
    curl -sS -m 30 "http://127.0.0.1:$prom_port/metrics" \
        | awk -v name="$1" -v group="$2" 'index($0, name "{") == 1 && index($0, ";" group "\"}") { print $2 }'
}

# Waits, up to $1 seconds, for a line "ready" in file $2, or for a URL.
wait_for() {
    i=0
    while [ $i -lt $(($1 * 10)) ]; do
        case $2 in
            http*) curl -sf -m 2 "$2" >/dev/null 2>&1 && return 0 ;;
            *) grep -q '^ready$' "$2" 2>/dev/null && return 0 ;;
        esac
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

# The dashboards' panels, each target's query with the variables replaced, as
# "title<TAB>instant<TAB>expr" lines; $1: a file of a JSON object of the
# variables' values (one value may be longer than an argument can be).
panel_queries() {
    jq -r --slurpfile vars "$1" --arg rate "$rate_interval" --arg interval "$step" --arg range "${range}s" '
        def subst: reduce ($vars[0] | to_entries | sort_by(-(.key | length)))[] as $v (.;
            gsub("\\$\\{" + $v.key + "(:[a-z]+)?\\}|\\[\\[" + $v.key + "\\]\\]|\\$" + $v.key + "(?![A-Za-z0-9_])"; $v.value))
            | gsub("\\$__rate_interval|\\$\\{__rate_interval\\}"; $rate)
            | gsub("\\$__interval|\\$\\{__interval\\}"; $interval)
            | gsub("\\$__range|\\$\\{__range\\}"; $range);
        [.. | objects | select(has("targets") and (.type // "") != "row")] | to_entries[]
        | .key as $n | .value as $p | $p.targets[] | select(.expr != null and .expr != "")
        | "\(($p.title // "untitled") | gsub("\t"; " ")) #\($n)\t\(.instant // false)\t\(.expr | subst | gsub("[\t\n]"; " "))"' "$2"
}

# The values a query variable offers: label_values(SELECTOR, LABEL),
# label_values(LABEL) or query_result(EXPR), the last one's lines as Grafana
# writes them (name{labels} value time) through the variable's regex $2.
variable_values() {
    query=$1
    case $query in
        query_result*)
            inner=${query#query_result(}
            printf '%s' "${inner%)}" > "$run/query.txt"
            api /api/v1/query --data-urlencode "query@$run/query.txt" \
                | jq -r --arg re "$2" '
                    .data.result[]?
                    | (.metric.__name__ // "") + "{" + ([.metric | to_entries[] | select(.key != "__name__")
                        | "\(.key)=\"\(.value)\""] | join(", ")) + "} \(.value[1]) \(.value[0])"
                    | if $re == "" then . else (match($re | ltrimstr("/") | rtrimstr("/")) | .captures[0].string // .string) end' \
                | sort -u
            ;;
        label_values*)
            inner=${query#label_values(}
            inner=${inner%)}
            label=${inner##*,}
            label=$(echo "$label" | tr -d ' ')
            if [ "$label" = "$inner" ]; then
                api "/api/v1/label/$label/values" -G
            else
                selector=${inner%,*}
                api "/api/v1/label/$label/values" -G --data-urlencode "match[]=$selector"
            fi | jq -r '.data[]?'
            ;;
        *) printf '%s\n' "$query" | tr ',' '\n' ;;
    esac
}

# Resolves the variables of dashboard $1 for selection $2 (default or all),
# in their order, each query seeing the values before it, into $run/vars.json.
resolve_variables() {
    echo '{}' > "$run/vars.json"
    count=$(jq '.templating.list | length' "$1")
    v=0
    while [ $v -lt "$count" ]; do
        variable=$(jq -c ".templating.list[$v]" "$1")
        v=$((v + 1))
        name=$(printf "%s\n" "$variable" | jq -r .name)
        type=$(printf "%s\n" "$variable" | jq -r .type)
        case $type in query | custom | constant | textbox | interval) ;; *) continue ;; esac
        query=$(printf "%s\n" "$variable" | jq -r '(.query | if type == "object" then .query else . end) // ""')
        query=$(printf '%s' "$query" | jq -Rr --slurpfile vars "$run/vars.json" 'reduce ($vars[0] | to_entries[]) as $v (.;
            gsub("\\$\\{" + $v.key + "(:[a-z]+)?\\}|\\$" + $v.key + "(?![A-Za-z0-9_])"; $v.value))')
        current=$(printf "%s\n" "$variable" | jq -r '[.current.value // empty] | flatten | map(select(. != "")) | join("\n")')
        all_value=$(printf "%s\n" "$variable" | jq -r '.allValue // ""')
        regex=$(printf "%s\n" "$variable" | jq -r '.regex // ""')
        if [ "$2" = all ] && [ "$(printf "%s\n" "$variable" | jq -r '.includeAll // false')" = true ] \
            || [ "$current" = '$__all' ]; then
            if [ -n "$all_value" ]; then
                value=$all_value
            else # every value, as Grafana joins them
                value=$(variable_values "$query" "$regex" | sed 's/[].[\\*+?(){}|^$]/\\\\&/g' | paste -sd'|')
                value="($value)"
            fi
        elif [ -n "$current" ]; then
            value=$(printf "%s\n" "$current" | sed 's/[].[\\*+?(){}|^$]/\\\\&/g' | paste -sd'|')
            [ "$(printf "%s\n" "$current" | wc -l)" -gt 1 ] && value="($value)"
        else # Grafana takes the first value
            value=$(variable_values "$query" "$regex" | head -n 1 | sed 's/[].[\\*+?(){}|^$]/\\\\&/g')
        fi
        printf '%s' "$value" > "$run/value.txt"
        jq -c --arg k "$name" --rawfile v "$run/value.txt" '. + {($k): $v}' "$run/vars.json" > "$run/vars.new"
        mv "$run/vars.new" "$run/vars.json"
    done
}

# Times every panel at selection $2 for the size's row prefix $1.
time_panels() {
    panels_end=$(($(date +%s) + panel_budget))
    for dashboard in "$tree"/monitoring/dashboards/*.json; do
        resolve_variables "$dashboard" "$2"
        panel_queries "$run/vars.json" "$dashboard" > "$run/queries.tsv"
        end=$(date +%s)
        start=$((end - range))
        while IFS="$(printf '\t')" read -r title instant expr; do
            if [ "$(date +%s)" -ge "$panels_end" ]; then # over the budget: named, not timed
                printf '%s\t%s\t%s\t%s\t\t-\tnot timed (budget)\n' "$1" "$(basename "$dashboard" .json)" "$2" "$title"
                continue
            fi
            printf '%s' "$expr" > "$run/query.txt"
            if [ "$instant" = true ]; then
                seconds=$(api /api/v1/query -o "$run/answer.json" -w '%{time_total}' \
                    --data-urlencode "query@$run/query.txt" -d "time=$end")
            else
                seconds=$(api /api/v1/query_range -o "$run/answer.json" -w '%{time_total}' \
                    --data-urlencode "query@$run/query.txt" -d "start=$start" -d "end=$end" -d "step=$step")
            fi
            status=$(jq -r '.status + (if .errorType then ":" + .errorType else "" end)' "$run/answer.json" 2>/dev/null)
            series=$(jq -r '.data.result | length' "$run/answer.json" 2>/dev/null)
            printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$(basename "$dashboard" .json)" "$2" \
                "$title" "${seconds:-timeout}" "${series:--}" "${status:-timeout}"
        done < "$run/queries.tsv"
    done
}

# One fleet: nodes $1, bins $2; with $3, the merged pages too.
run_size() {
    nodes=$1 bins=$2 merged=$3
    run=$out/n$nodes-b$bins
    rm -rf "$run"
    mkdir -p "$run/targets"
    port=$(free_port 19500)
    prom_port=$(free_port 19100)
    if [ "$merged" = yes ]; then
        "$server" "$port" "$nodes" "$bins" "$run/targets" "$merged_nodes" "$bounds" > "$run/server.out" 2>&1 &
    else
        "$server" "$port" "$nodes" "$bins" "$run/targets" > "$run/server.out" 2>&1 &
    fi
    server_pid=$!
    wait_for 120 "$run/server.out" || { echo "fleet_server did not start" >&2; cat "$run/server.out" >&2; return 1; }
    awk -v n="$nodes" -v b="$bins" '$1 == "page" { print n "\t" b "\t" $2 "\t" $3 "\t" $4 "\t" $5 "\t" $6 "\t" $7 }' \
        "$run/server.out" >> "$out/pages.tsv"
    cat > "$run/prometheus.yml" <<EOF
global:
  scrape_interval: 15s
  scrape_timeout: 10s
  evaluation_interval: 15s
rule_files:
  - $tree/monitoring/rules.yml
  - $tree/monitoring/alerts.yml
scrape_configs:
  - job_name: ebs
    file_sd_configs: [{files: ['$run/targets/ebs.json']}]
  - job_name: ebs-merged
    file_sd_configs: [{files: ['$run/targets/merged.json']}]
  - job_name: kube-state-metrics
    honor_labels: true
    file_sd_configs: [{files: ['$run/targets/ksm.json']}]
  - job_name: prometheus
    static_configs: [{targets: ['127.0.0.1:$prom_port']}]
EOF
    prometheus --config.file="$run/prometheus.yml" --storage.tsdb.path="$run/data" \
        --storage.tsdb.retention.time=2h --web.listen-address="127.0.0.1:$prom_port" \
        --log.level=warn > "$run/prometheus.log" 2>&1 &
    prometheus_pid=$!
    wait_for 120 "http://127.0.0.1:$prom_port/-/ready" || { echo "Prometheus did not start" >&2; return 1; }
    began=$(date +%s)
    limit=
    # Warm up and measure, watching the machine's memory.
    watch_until() {
        while [ "$(date +%s)" -lt "$1" ]; do
            if [ "$(available_mb)" -lt "$min_free" ]; then
                limit="memory: less than $min_free MB left at $(rss_mb "$prometheus_pid" VmRSS) MB RSS"
                return 1
            fi
            kill -0 "$prometheus_pid" 2>/dev/null || { limit="Prometheus ended"; return 1; }
            sleep 5
        done
    }
    watch_until $((began + warm)) || { echo "$nodes nodes: $limit" >&2; cleanup; echo "$limit" > "$run/limit"; return 2; }
    groups=$(api /api/v1/rules | jq -r '.data.groups[] | .name')
    for g in $groups; do echo "$g $(counter prometheus_rule_group_iterations_missed_total "$g")"; done > "$run/missed.before"
    cpu0=$(cpu_ticks "$prometheus_pid")
    t0=$(date +%s)
    watch_until $((t0 + measure)) || { echo "$nodes nodes: $limit" >&2; cleanup; echo "$limit" > "$run/limit"; return 2; }
    cpu1=$(cpu_ticks "$prometheus_pid")
    t1=$(date +%s)
    cores=$(echo "$cpu0 $cpu1 $ticks $t0 $t1" | awk '{ printf "%.2f", ($2 - $1) / $3 / ($5 - $4) }')
    rss=$(rss_mb "$prometheus_pid" VmRSS)
    hwm=$(rss_mb "$prometheus_pid" VmHWM)
    head=$(curl -sS -m 30 "http://127.0.0.1:$prom_port/metrics" | awk '$1 == "prometheus_tsdb_head_series" { print $2 }')
    volumes=$((nodes * 27))
    ebs_series=$(scalar 'sum(scrape_samples_scraped{job="ebs"})')
    # Each group: the longest evaluation in the window, its mean, and the iterations it missed.
    for g in $groups; do
        longest=$(scalar "max_over_time(prometheus_rule_group_last_duration_seconds{rule_group=~\".*;$g\"}[${measure}s])")
        mean=$(scalar "avg_over_time(prometheus_rule_group_last_duration_seconds{rule_group=~\".*;$g\"}[${measure}s])")
        before=$(awk -v g="$g" '$1 == g { print $2 }' "$run/missed.before")
        after=$(counter prometheus_rule_group_iterations_missed_total "$g")
        missed=$(echo "${before:-0} ${after:-0}" | awk '{ print $2 - $1 }')
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$nodes" "$bins" "$g" "$longest" "$mean" "$missed" >> "$out/groups.tsv"
    done
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$nodes" "$bins" "$volumes" "$head" \
        "$(echo "$head $volumes" | awk '{ printf "%.1f", $1 / $2 }')" \
        "$(echo "$ebs_series $volumes" | awk '{ printf "%.1f", $1 / $2 }')" \
        "$rss" "$hwm" "$cores" >> "$out/results.tsv"
    # The panels, over the data there is, at the step Grafana takes for the
    # dashboard's default range (its width in points: about 1,000).
    range=$(($(date +%s) - began))
    dash_range=$(jq -r '.time.from // "now-6h"' "$tree"/monitoring/dashboards/*.json | head -n 1 \
        | awk '{ s = $0; sub(/^now-/, "", s); n = s + 0; u = substr(s, length(s));
                 print n * (u == "d" ? 86400 : u == "h" ? 3600 : u == "m" ? 60 : 1) }')
    step=$(echo "$dash_range" | awk '{ s = $1 / 1000; print (s < 15 ? 15 : int(s / 5 + 0.5) * 5) "s" }')
    step_seconds=${step%s}
    rate_interval=$(echo "$step_seconds" | awk '{ r = $1 + 15; print (r < 60 ? 60 : r) "s" }')
    time_panels "$nodes-$bins" default >> "$out/panels.tsv"
    time_panels "$nodes-$bins" all >> "$out/panels.tsv"
    if [ "$merged" = yes ]; then
        mv=$((merged_nodes * 27))
        merged_series=$(scalar 'sum(scrape_samples_scraped{job="ebs-merged"})')
        printf 'series per volume\t%s bins\t%s\tmerged into %s bounds\t%s\n' "$bins" \
            "$(echo "$ebs_series $volumes" | awk '{ printf "%.1f", $1 / $2 }')" \
            "$(echo "$bounds" | tr ',' '\n' | wc -l)" \
            "$(echo "$merged_series $mv" | awk '{ printf "%.1f", $1 / $2 }')" >> "$out/quantiles.tsv"
        for family in read write; do
            for q in 0.5 0.9 0.99; do
                ratio="max by (volume_id) (histogram_quantile($q, rate(ebs_${family}_latency_seconds_bucket{job=\"ebs-merged\"}[5m]))) / on (volume_id) max by (volume_id) (histogram_quantile($q, rate(ebs_${family}_latency_seconds_bucket{job=\"ebs\"}[5m]))) - 1"
                printf '%s\tp%s\t%s\t%s\t%s\n' "$family" "$(echo "$q" | awk '{ print $1 * 100 }')" \
                    "$(scalar "max(abs($ratio))")" "$(scalar "quantile(0.5, abs($ratio))")" \
                    "$(scalar "count($ratio)")" >> "$out/quantiles.tsv"
            done
        done
    fi
    cleanup
    du -sh "$run/data" | awk '{ print "tsdb " $1 }' > "$run/tsdb"
    rm -rf "$run/data"
    return 0
}

rm -f "$out/results.tsv" "$out/groups.tsv" "$out/panels.tsv" "$out/pages.tsv" "$out/quantiles.tsv" "$out/limit"
echo "# nodes, bins, volumes, head series, head series per volume, exporter series per volume, RSS MB, peak RSS MB, CPU cores" > "$out/results.head"
# The worst case first, so that a short run has it too.
if [ -n "$worst" ] && [ $(($(date +%s) + warm + measure + 2 * panel_budget + 120)) -le "$deadline" ]; then
    echo "$(date -u +%H:%M:%S) $worst nodes of 27 volumes, 64 bins, the first $merged_nodes merged into 12 bounds as well"
    run_size "$worst" 64 yes || echo "the 64-bin run failed" | tee -a "$out/limit"
fi
last_nodes= last_hwm=
for nodes in $sizes; do
    need=$((warm + measure + 2 * panel_budget + 60 + nodes / 4))
    if [ $(($(date +%s) + need)) -gt "$deadline" ]; then
        echo "$nodes nodes: not started, the run's deadline is near" | tee -a "$out/limit"
        continue
    fi
    if [ -n "$last_hwm" ]; then # the memory the last size needed, grown in proportion
        want=$((last_hwm * nodes / last_nodes * 12 / 10))
        if [ "$want" -gt "$(available_mb)" ]; then
            echo "$nodes nodes: not started, it would need about $want MB, $(available_mb) MB available" | tee -a "$out/limit"
            continue
        fi
    fi
    echo "$(date -u +%H:%M:%S) $nodes nodes of 27 volumes, 32 bins"
    run_size "$nodes" 32 no
    status=$?
    if [ $status -ne 0 ]; then
        echo "$nodes nodes: $(cat "$out/n$nodes-b32/limit" 2>/dev/null || echo failed)" | tee -a "$out/limit"
        continue
    fi
    last_nodes=$nodes
    last_hwm=$(awk -F'\t' -v n="$nodes" '$1 == n && $2 == 32 { print $8 }' "$out/results.tsv")
done
sh "$here/report.sh" "$out"
