#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The service files: the systemd unit's exposure as systemd-analyze rates it
# must be "OK" or better, and the rc.d script must be valid sh and run the
# exporter under daemon(8) with daemon's own pid in the pid file that
# rc.subr stops by: with the child's pid there, stop would kill the child
# and daemon -r would start it again.
#
#   service_check.sh UNIT_TEMPLATE RC_TEMPLATE
set -u
unit_template=$1
rc_template=$2
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT

sed 's|@CMAKE_INSTALL_FULL_BINDIR@|/usr/bin|' "$rc_template" > "$folder/volscan_exporter"
sh -n "$folder/volscan_exporter" || exit 1
# rc.subr is FreeBSD's: a stand-in prints what run_rc_command would act on.
cat >"$folder/rc.subr" <<'EOF'
load_rc_config() { :; }
run_rc_command() {
    printf '%s\n' "command=$command" "procname=${procname:-$command}" "pidfile=$pidfile" \
        "command_args=$command_args"
}
EOF
got=$(sed "s|^\. /etc/rc.subr\$|. $folder/rc.subr|" "$folder/volscan_exporter" \
    | volscan_exporter_args="--web.listen-address=127.0.0.1:9720" sh -s start 2>&1)
want='command=/usr/sbin/daemon
procname=/usr/sbin/daemon
pidfile=/var/run/volscan_exporter.pid
command_args=-P /var/run/volscan_exporter.pid -r -S -T volscan_exporter /usr/bin/volscan-exporter --web.listen-address=127.0.0.1:9720'
if [ "$got" != "$want" ]; then
    echo "the rc.d script does not run the exporter under daemon -P with its pid file:"
    printf '%s\n' "$got"
    exit 1
fi

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
