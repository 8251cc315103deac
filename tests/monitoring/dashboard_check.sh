#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Structural checks of Grafana dashboards: unique panel ids, panels inside
# the 24 columns and not overlapping, and every panel but a row of a known
# type, with a data source, a unit and queries whose variables the dashboard
# defines; tables asking for one instant as a table. Variables use only those
# before them (Grafana fills them in in order), and one on a claim's label,
# which volumes no claim owns lack, matches the empty value when All.
# Usage: dashboard_check.sh DASHBOARD.json ...
set -eu
command -v jq > /dev/null || { echo "jq is missing" >&2; exit 77; }
status=0
for dashboard in "$@"; do
    problems=$(jq -r '
        def overlap(a; b): a.x < b.x + b.w and b.x < a.x + a.w and a.y < b.y + b.h and b.y < a.y + a.h;
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
              (.id as $id | .targets[]?.expr | [scan("\\$(\\w+)")[0]] | .[]
                  | select(startswith("__") | not) | select(. as $v | $variables | index($v) | not)
                  | "panel \($id) uses an undefined variable $\(.)")),
          ($panels[] | select(.type | IN("row", "timeseries", "heatmap", "table") | not)
              | "panel \(.id) has the unknown type \(.type)"),
          ($panels[] | select(.type == "table") | .id as $id | .targets[]?
              | select(.format != "table" or .instant != true)
              | "table panel \($id) asks for a range or not for a table"),
          (.templating.list | to_entries[] | select(.value.type == "query") | .key as $at | .value.name as $name
              | .value.query.query | [scan("\\$(\\w+)")[0]] | .[]
              | select(. as $v | $variables[0:$at] | index($v) | not)
              | "variable \($name) uses $\(.), not defined before it"),
          (.templating.list[] | select(.type == "query" and .includeAll)
              | select(.query.query | test("^label_values\\(volume_id:ebs_volume_claim:info\\b.*, *(namespace|persistentvolumeclaim|pod|persistentvolume)\\)$"))
              | select(.allValue != ".*")
              | "variable \(.name) hides the volumes no claim owns when All")
        ' "$dashboard")
    if [ -n "$problems" ]; then
        printf '%s:\n%s\n' "$dashboard" "$problems" >&2
        status=1
    fi
done
exit $status
