#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Every alert has its runbook: a section of monitoring/README.md titled with
# its name. With a runbook base URL in _config, every alert's runbook_url is
# that base and the section's anchor (the name in lower case); without one,
# no alert has a runbook_url.
# Usage: runbooks_check.sh MONITORING_DIR
set -eu
command -v jsonnet > /dev/null || { echo "jsonnet is missing" >&2; exit 77; }
monitoring=$1
base=https://runbooks.example.org/volscan/README.md
rows=$(jsonnet -J "$monitoring" -S --ext-str base="$base" -e '
    local alerts(config) = [rule for group in ((import "mixin.libsonnet") + { _config+:: config }).prometheusAlerts.groups
                                 for rule in group.rules];
    local url(rule) = std.get(rule.annotations, "runbook_url", "-");
    local plain = alerts({}), based = alerts({ runbookURLBase: std.extVar("base") });
    std.join("\n", [plain[i].alert + " " + url(based[i]) + " " + url(plain[i])
                    for i in std.range(0, std.length(plain) - 1)])')
status=0
count=0
while read -r name with without; do
    count=$((count + 1))
    anchor=$(printf '%s' "$name" | tr '[:upper:]' '[:lower:]')
    if [ "$with" != "$base#$anchor" ]; then
        echo "$name: runbook_url $with, not $base#$anchor" >&2
        status=1
    fi
    if [ "$without" != - ]; then
        echo "$name: runbook_url $without without a base" >&2
        status=1
    fi
    if ! grep -qx "### $name" "$monitoring/README.md"; then
        echo "$name: no section ### $name in README.md" >&2
        status=1
    fi
done <<END
$rows
END
if [ "$count" -lt 1 ]; then
    echo "no alert found" >&2
    status=1
fi
exit $status
