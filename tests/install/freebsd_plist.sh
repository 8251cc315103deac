#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD port against the staged install of the FreeBSD cross build
# (tests/cross/freebsd.sh, prefix /usr/local): its pkg-plist names every
# file the install stages and no other, its version and license are the
# project's, and its message tells to restart devd. The ports framework
# compresses manual pages, so the plist names them with .gz. The staged install is the one
# with every option on (volscan-exporter included), so the lines of an
# option the port defines (%%OPTION%%, which the framework empties when the
# option is on) count as plain ones. The EXPORTER option must be on by
# default and set the project's own CMake option, and the message must
# enable and start the exporter by the rc.d script's own names.
#
#   freebsd_plist.sh CROSS_WORK_DIR PORT_DIR
#
# CROSS_WORK_DIR is the cross build's folder (build-freebsd-ARCH), with the
# staged install in stage/ and the CMake build in build/.
set -u
stage=$1/stage
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/build/CMakeCache.txt" 2>/dev/null)
port=$2

work=$(mktemp -d /tmp/volscan-plist.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../lib.sh"

[ -d "$stage/usr/local" ] || { echo "FAIL: no staged install in $stage/usr/local"; exit 1; }
(cd "$stage/usr/local" && find . ! -type d | sed 's|^\./||' \
    | sed 's|^\(share/man/man[1-9]/.*\.[1-9]\)$|\1.gz|' | LC_ALL=C sort) >"$work/staged"
options=$(sed -n 's/^OPTIONS_DEFINE=//p' "$port/Makefile")
grep -v -e '^@' -e '^$' "$port/pkg-plist" | sed "s/^%%\($(echo $options | sed 's/ /\\|/g')\)%%//" \
    | LC_ALL=C sort >"$work/plist"
unknown=$(grep '%%' "$work/plist")
[ -z "$unknown" ] || note_failure "pkg-plist has lines of an option the port does not define: $unknown"
if ! cmp -s "$work/staged" "$work/plist"; then
    note_failure "pkg-plist (-) and the staged install (+) differ:"
    diff -u "$work/plist" "$work/staged" | sed -n '/^[-+][^-+]/p'
fi
# An empty stage would match an empty plist.
[ -s "$work/staged" ] || note_failure "the staged install is empty"

port_version=$(sed -n 's/^DISTVERSION=[[:space:]]*//p' "$port/Makefile")
[ "$port_version" = "$version" ] || note_failure "the port is version '$port_version', the project $version"
grep -q '^USES=[[:space:]]*cmake$' "$port/Makefile" || note_failure "the port does not build with USES=cmake"
# The license as the ports framework names it, and its text from the release
# tarball, whose top folder is the framework's WRKSRC.
grep -q '^LICENSE=[[:space:]]*BSD2CLAUSE$' "$port/Makefile" || note_failure "the port's LICENSE is not BSD2CLAUSE"
grep -q '^LICENSE_FILE=[[:space:]]*${WRKSRC}/LICENSE$' "$port/Makefile" \
    && [ -f "$port/../../../../LICENSE" ] || note_failure "the port's LICENSE_FILE is not the tree's LICENSE"
grep -q 'service devd restart' "$port/pkg-message" || note_failure "pkg-message does not say to restart devd"

grep -q '^OPTIONS_DEFAULT=.*[[:space:]]EXPORTER\([[:space:]]\|$\)' "$port/Makefile" \
    || note_failure "the EXPORTER option is not on by default"
bool=$(sed -n 's/^EXPORTER_CMAKE_BOOL=[[:space:]]*//p' "$port/Makefile")
grep -q "^option($bool " "$(dirname "$0")/../../CMakeLists.txt" \
    || note_failure "EXPORTER_CMAKE_BOOL ($bool) is not an option of the project"
rc=$stage/usr/local/etc/rc.d/volscan_exporter
rcvar=$(sed -n 's/^rcvar=//p' "$rc" 2>/dev/null)
grep -q "^  sysrc $rcvar=YES\$" "$port/pkg-message" \
    || note_failure "pkg-message does not enable the exporter with: sysrc $rcvar=YES (rcvar of $rc)"
grep -q "^  service $(basename "$rc") start\$" "$port/pkg-message" \
    || note_failure "pkg-message does not start the exporter with: service $(basename "$rc") start"
# The metrics side's user, as the Linux packages make it, is made by the port
# for the EXPORTER option, and the message says to give its group the files.
user=$(sed -n 's/^u[[:space:]]\{1,\}\([^[:space:]]\{1,\}\).*/\1/p' \
    "$(dirname "$0")/../../service/volscan-exporter.sysusers")
[ -n "$user" ] || note_failure "no user in service/volscan-exporter.sysusers"
for kind in USERS GROUPS; do
    grep -q "^EXPORTER_$kind=[[:space:]]*$user\$" "$port/Makefile" \
        || note_failure "the port's EXPORTER_$kind is not $user"
done
grep -q "^  install -d -o root -g $user -m 0750 " "$port/pkg-message" \
    || note_failure "pkg-message does not give the group $user the configuration's folder"

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
