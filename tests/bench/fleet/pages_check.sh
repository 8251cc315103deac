#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The fleet bench's pages, quickly, so that the bench does not rot between
# its runs: each node's page and kube-state-metrics' pass promtool's check,
# the merged page has a bucket for each bound and +Inf, the target lists
# are Prometheus's file_sd JSON with the scrape job's labels.
#
#   pages_check.sh FLEET_SERVER
#
# Exit status 77 (skipped) without promtool, curl or jq.
set -u
server=$1
for tool in promtool curl jq ss; do
    command -v $tool >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
work=$(mktemp -d /tmp/volscan-fleet.XXXXXX) || exit 1
pid=
trap '[ -n "$pid" ] && kill $pid 2>/dev/null; rm -rf "$work"' EXIT
port=$((20000 + $$ % 20000))
while [ -n "$(ss -Htln "sport = :$port")" ]; do port=$((port + 1)); done
"$server" $port 2 64 "$work" 1 0.000064,0.001,0.131072 > "$work/out" 2>&1 &
pid=$!
i=0
until grep -q '^ready$' "$work/out"; do
    i=$((i + 1))
    [ $i -gt 100 ] && { echo "FAIL: no ready line"; cat "$work/out"; exit 1; }
    sleep 0.1
done
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
for path in /node/0/metrics /node/1/metrics /merged/0/metrics /ksm/metrics; do
    curl -sf -m 10 "http://127.0.0.1:$port$path" > "$work/page" || fail "$path: no page"
    lint=$(promtool check metrics < "$work/page" 2>&1) || fail "$path: $lint"
done
# 27 volumes of 64 bins: the last bin open, so 63 buckets and +Inf; merged: 3 and +Inf.
for row in "/node/0/metrics 64" "/merged/0/metrics 4"; do
    set -- $row
    got=$(curl -sf -m 10 --compressed "http://127.0.0.1:$port$1" | grep -c '^ebs_read_latency_seconds_bucket{')
    [ "$got" = $((27 * $2)) ] || fail "$1: $got read buckets, not $((27 * $2))"
done
code=$(curl -s -m 10 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/merged/1/metrics")
[ "$code" = 404 ] || fail "a node beyond the merged ones: $code"
labels=$(jq -r '.[1].labels | [.instance == .node, .__metrics_path__] | @tsv' "$work/ebs.json")
[ "$labels" = "$(printf 'true\t/node/1/metrics')" ] || fail "ebs.json: $labels"
[ "$(jq length "$work/merged.json")" = 1 ] || fail "merged.json"
[ $failures -eq 0 ] && echo "all cases passed"
[ $failures -eq 0 ]
