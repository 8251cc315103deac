#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The service files: the systemd unit's exposure as systemd-analyze rates it
# must be "OK" or better, and the rc.d script must be valid sh.
#
#   service_check.sh UNIT_TEMPLATE RC_TEMPLATE
set -u
unit_template=$1
rc_template=$2
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT

sed 's|@CMAKE_INSTALL_FULL_BINDIR@|/usr/bin|' "$rc_template" > "$folder/volscan_exporter"
sh -n "$folder/volscan_exporter" || exit 1

if ! command -v systemd-analyze >/dev/null; then
    echo "skipped: no systemd-analyze"
    exit 77
fi
sed 's|@CMAKE_INSTALL_FULL_BINDIR@|/usr/bin|' "$unit_template" > "$folder/volscan-exporter.service"
report=$(systemd-analyze security --offline=true --no-pager "$folder/volscan-exporter.service" 2>&1)
overall=$(printf '%s\n' "$report" | grep 'Overall exposure level')
echo "$overall"
case "$overall" in
    *" OK "* | *" SAFE "* | *" OK" | *" SAFE") exit 0 ;;
esac
printf '%s\n' "$report"
exit 1
