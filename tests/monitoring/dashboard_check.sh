#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Checks of Grafana dashboards, structural and for a fleet of hundreds of
# nodes.
#
# Structure: unique panel ids (and unique dashboard uids across the files),
# panels inside the 24 columns and not overlapping, and every panel but a
# row of a known type, with a data source, a unit and queries whose
# variables the dashboard defines; tables asking for one instant as a table.
# Variables use only those before them (Grafana fills them in in order), and
# one on a claim's label, which volumes no claim owns lack, matches the empty
# value when All.
#
# Fleet: every query reads recorded series (a name with a colon) or selects
# raw ones by a picked node or volume; only the exporters' up, one series a
# node, may be read across the fleet. A query that picks no node, volume or
# claim (or volumes of a variable that lists the top few) keeps a bounded
# number of series: it aggregates to one series, or keeps the top (at most
# 20) of them. No visible variable starts at All; a
# hidden one may, if it lists only what the visible ones picked (no
# allValue), except the cluster's, whose All matches series without the
# label. Legends name the node, the volume or the claim, never the
# exporter's address or a pod, except a single aggregated series'.
#
# With promtool, every query, its variables filled in, must parse
# (PROMTOOL names another, or none to skip this).
# Usage: dashboard_check.sh DASHBOARD.json ...
set -eu
command -v jq > /dev/null || { echo "jq is missing" >&2; exit 77; }
status=0
for dashboard in "$@"; do
    problems=$(jq -r '
        def overlap(a; b): a.x < b.x + b.w and b.x < a.x + a.w and a.y < b.y + b.h and b.y < a.y + a.h;
        # Where the parenthesis opened first closes.
        def closing: . as $s | reduce range($s | index("("); $s | length) as $i ({depth: 0, at: null};
            if .at != null then . else $s[$i:$i + 1] as $c
                | if $c == "(" then .depth += 1
                  elif $c == ")" then .depth -= 1 | (if .depth == 0 then .at = $i else . end)
                  else . end end) | .at;
        # A query that aggregates everything into one series (or none, then 0).
        def single: test("^(sum|count|max|min|avg|quantile)\\(")
            and (.[closing + 1:] | test("^( or vector\\(0\\))?$"));
        # A query that keeps the top few series, or the series that are
        # among the top few at the time range end.
        def bounded: [scan("\\b(?:topk|bottomk)\\((\\d+),")[0] | tonumber] as $k
            | ($k | length) > 0 and ($k | max) <= 20
              and test("^(\\(?(topk|bottomk)\\(|\\(.*\\) and on \\([^)]*\\) (topk|bottomk)\\()");
        # Variables of the top few volumes: query_result(topk(K, ...)).
        ([.templating.list[] | select((.query.query? // "") | startswith("query_result(")
            and (.[13:-1] | bounded)) | .name]) as $tops
        | def picks: [scan("\\$([a-zA-Z_]\\w*)")[0]] | any(IN("node", "volume", "pvc_volume", "namespace", "claim")
            or (. as $v | $tops | index($v)));
        (.templating.list | map(.name)) as $variables
        | .panels as $panels
        | ($panels | group_by(.id)[] | select(length > 1) | "panel id \(.[0].id) used \(length) times"),
          ($panels[] | select(.gridPos.x < 0 or .gridPos.w < 1 or .gridPos.h < 1 or .gridPos.x + .gridPos.w > 24)
              | "panel \(.id) lies outside the grid"),
          (range(0; $panels | length) as $i | range($i + 1; $panels | length) as $j
              | select(overlap($panels[$i].gridPos; $panels[$j].gridPos))
              | "panels \($panels[$i].id) and \($panels[$j].id) overlap"),
          ($panels[] | select(.type != "row") |
              (select(.datasource.uid | not) | "panel \(.id) has no data source"),
              (select((.fieldConfig.defaults.unit // "") == "") | "panel \(.id) has no unit"),
              (select((.targets // []) | length == 0) | "panel \(.id) has no query"),
              (.targets[]? | select((.expr // "") == "" or (.refId // "") == "")
                  | "panel has a query without expr or refId"),
              (.id as $id | .targets[]?.expr | [scan("\\$([a-zA-Z_]\\w*)")[0]] | .[]
                  | select(startswith("__") | not) | select(. as $v | $variables | index($v) | not)
                  | "panel \($id) uses an undefined variable $\(.)")),
          ($panels[] | select(.type | IN("row", "timeseries", "heatmap", "table", "stat") | not)
              | "panel \(.id) has the unknown type \(.type)"),
          ($panels[] | select(.type == "table") | .id as $id | .targets[]?
              | select(.format != "table" or .instant != true)
              | "table panel \($id) asks for a range or not for a table"),
          (.templating.list | to_entries[] | select(.value.type == "query") | .key as $at | .value.name as $name
              | .value.query.query | [scan("\\$([a-zA-Z_]\\w*)")[0]] | .[]
              | select(. as $v | $variables[0:$at] | index($v) | not)
              | "variable \($name) uses $\(.), not defined before it"),
          (.templating.list[] | select(.type == "query" and .includeAll)
              | select(.query.query | test("^label_values\\(volume_id:ebs_volume_claim:info\\b.*, *(namespace|persistentvolumeclaim|pod|persistentvolume)\\)$"))
              | select(.allValue != ".*")
              | "variable \(.name) hides the volumes no claim owns when All"),
          # For a fleet.
          ($panels[] | select(.type != "row") | .id as $id | .targets[]?.expr
              | [scan("\\b([a-zA-Z_][a-zA-Z0-9_:]*)\\{([^}]*)\\}")] | .[]
              | select(.[0] | contains(":") | not) | select(.[0] != "up")
              | select(.[1] | test("\\b(node|instance|volume_id)=~?\"\\$(node|volume)\"") | not)
              | "panel \($id) reads the raw series \(.[0]) of the whole fleet"),
          ($panels[] | select(.type != "row") | .id as $id | .targets[]?.expr
              | select(picks | not) | select(single or bounded | not)
              | "panel \($id) draws every volume of the fleet: \(.)"),
          (.templating.list[] | select(.type == "query") | .name as $name
              | select(.current.value == "$__all" or .current.value == ["$__all"] or (.includeAll and (.current.value | not)))
              | select($name != "cluster")
              | select(.hide != 2 or .allValue != null)
              | "variable \($name) starts at All"),
          ($panels[] | select(.type == "timeseries") | .id as $id | .targets[]
              | select(.expr | single | not)
              | select(.legendFormat | test("\\{\\{(node|volume_id|persistentvolumeclaim)\\}\\}") | not)
              | "panel \($id) has a legend without the node, the volume or the claim: \(.legendFormat)"),
          ($panels[] | select(.type != "row") | .id as $id | .targets[]?
              | select((.legendFormat // "") | test("\\{\\{(instance|pod)\\}\\}"))
              | "panel \($id) names a series by the exporter'"'"'s address or a pod: \(.legendFormat)")
        ' "$dashboard")
    if [ -n "$problems" ]; then
        printf '%s:\n%s\n' "$dashboard" "$problems" >&2
        status=1
    fi
done

uids=$(jq -r '.uid' "$@" | sort | uniq -d)
if [ -n "$uids" ]; then
    echo "dashboard uid used twice: $uids" >&2
    status=1
fi

# Every query parses, as a recording rule's expression, with the variables
# as Grafana fills them in.
promtool=${PROMTOOL:-promtool}
if command -v "$promtool" > /dev/null; then
    rules=$(mktemp)
    trap 'rm -f "$rules"' EXIT
    jq -rs '"groups:", "  - name: dashboards", "    rules:",
        (.[] | .panels[] | .targets[]?.expr, (.templating.list[]? | select(.type == "query") | .query.query
            | if startswith("query_result(") then .[13:-1]
              else capture("^label_values\\((?<s>.*), *(?<l>\\w+)\\)$") | "group by (\(.l)) (\(.s))" end)
        | gsub("\\$__rate_interval"; "1m") | gsub("\\$(cluster|volume|pvc_volume|claim)\\b"; ".+") | gsub("\\$[a-zA-Z_]\\w*"; "x")
        | "      - record: q", "        expr: \(tojson)")' "$@" > "$rules"
    if ! "$promtool" check rules "$rules" > "$rules.out" 2>&1; then
        cat "$rules.out" >&2
        status=1
    fi
    rm -f "$rules.out"
fi
exit $status
