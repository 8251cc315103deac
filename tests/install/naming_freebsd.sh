#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD install of the naming rules, made here by configuring the
# project for FreeBSD (nothing is compiled): the devd configuration under
# etc/devd runs the script in libexec, which runs the installed volscan-id,
# and no udev rules come along.
#
#   naming_freebsd.sh CMAKE SOURCE_DIR
set -u
cmake=$1
source=$2

work=$(mktemp -d /tmp/volscan-freebsd.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../lib.sh"

if ! "$cmake" -S "$source" -B "$work/build" -DCMAKE_SYSTEM_NAME=FreeBSD -DVOLSCAN_TESTS=OFF \
    >"$work/log" 2>&1 \
    || ! DESTDIR=$work/stage "$cmake" --install "$work/build" --prefix /usr/local \
        --component naming >>"$work/log" 2>&1; then
    cat "$work/log"
    echo "FAIL: configuring for FreeBSD or installing failed"
    exit 1
fi

tree=$(cd "$work/stage" && find . ! -type d | sort)
want="./usr/local/etc/devd/volscan-ebs.conf
./usr/local/libexec/volscan-ebs-links"
[ "$tree" = "$want" ] || note_failure "installed: $tree"

conf=$work/stage/usr/local/etc/devd/volscan-ebs.conf
script=$work/stage/usr/local/libexec/volscan-ebs-links
grep -q '@' "$conf" "$script" && note_failure "a placeholder is left"
# shellcheck disable=SC2016 # the text holds a literal $
grep -q 'action "/usr/local/libexec/volscan-ebs-links $type $cdev";' "$conf" \
    || note_failure "devd does not run /usr/local/libexec/volscan-ebs-links"
grep -q "^volscan_id='/usr/local/bin/volscan-id'$" "$script" \
    || note_failure "the script does not run /usr/local/bin/volscan-id"
[ -x "$script" ] || note_failure "the script is not executable"

if [ $failures -ne 0 ]; then
    exit 1
fi
echo "all checks passed"
