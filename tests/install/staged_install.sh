#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs the build into a staging folder (DESTDIR) as a package would and
# checks the tree, that the installed names run, and that the naming rules
# call volscan-id where it was installed, also under another prefix: the
# udev rules go to udev's own folder RULES_DIR whatever the prefix. Then
# make uninstall, under the same DESTDIR, leaves no file.
#
#   staged_install.sh CMAKE BUILD_DIR SOURCE_DIR RULES_DIR
set -u
cmake=$1
build=$2
source=$3
rules_dir=$4

work=$(mktemp -d /tmp/volscan-install.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../lib.sh"

if ! DESTDIR=$work/stage "$cmake" --install "$build" --prefix /usr/local >"$work/log" 2>&1; then
    cat "$work/log"
    echo "FAIL: the install failed"
    exit 1
fi

# The whole tree, a link shown with its target.
tree=$(cd "$work/stage" && find . ! -type d | sort | while read -r file; do
    if [ -L "$file" ]; then
        echo "$file -> $(readlink "$file")"
    else
        echo "$file"
    fi
done)
want=$(sort <<EOF
.$rules_dir/65-volscan-ebs.rules
./usr/local/bin/volscan
./usr/local/bin/volscan-id -> volscan
./usr/local/bin/volscan-stats -> volscan
./usr/local/share/bash-completion/completions/volscan
./usr/local/share/bash-completion/completions/volscan-id -> volscan
./usr/local/share/bash-completion/completions/volscan-stats -> volscan
./usr/local/share/man/man8/volscan-id.8 -> volscan.8
./usr/local/share/man/man8/volscan-stats.8 -> volscan.8
./usr/local/share/man/man8/volscan.8
EOF
)
# volscan-exporter comes along where it was built.
if [ -e "$build/src/exporter/volscan-exporter" ]; then
    want=$(printf '%s\n' "$want" ./usr/local/bin/volscan-exporter \
        ./usr/local/lib/systemd/system/volscan-exporter.service \
        ./usr/local/lib/sysusers.d/volscan-exporter.conf \
        ./usr/local/share/bash-completion/completions/volscan-exporter \
        ./usr/local/share/man/man8/volscan-exporter.8 | sort)
fi
if [ "$tree" != "$want" ]; then
    note_failure "the installed tree differs"
    printf '%s\n' "$want" >"$work/want"
    printf '%s\n' "$tree" >"$work/got"
    diff -u "$work/want" "$work/got"
fi

prefix=$work/stage/usr/local
cmp -s "$source/man/volscan.8" "$prefix/share/man/man8/volscan.8" || note_failure "the manual page differs"
cmp -s "$source/completion/volscan" "$prefix/share/bash-completion/completions/volscan" \
    || note_failure "the completion differs"
[ -x "$prefix/bin/volscan" ] || note_failure "volscan is not executable"

# check_run NAME STATUS STDERR ARGUMENT...: the installed NAME writes
# nothing on standard output, exactly STDERR on standard error, and exits
# with STATUS.
check_run() {
    name=$1 want_status=$2 want_err=$3
    shift 3
    "$prefix/bin/$name" "$@" >"$work/out" 2>"$work/err"
    status=$?
    printf '%s' "$want_err" >"$work/want-err"
    if [ $status -ne "$want_status" ] || [ -s "$work/out" ] || ! cmp -s "$work/want-err" "$work/err"; then
        note_failure "$name $*: status $status, standard output:"
        cat "$work/out"
        echo "standard error:"
        cat "$work/err"
    fi
}
usage="usage: volscan id [-b] [-m] [-s] [-u] [-v] device
       volscan-id [-b] [-m] [-s] [-u] [-v] device
       volscan stats [-i interval] [-j] device
       volscan-stats [-i interval] [-j] device
"
check_run volscan-stats 1 "volscan-stats: invalid argument to -i: x
" -i x d
check_run volscan-id 1 "$usage"
check_run volscan 1 "$usage"
check_run volscan-id 1 "volscan-id: could not open /dev/nvme99: No such file or directory
" -v nvme99

case $rules_dir in
/etc/udev/rules.d | /run/udev/rules.d | /usr/lib/udev/rules.d | /lib/udev/rules.d) ;;
*) note_failure "udev does not read $rules_dir" ;;
esac
rules=$work/stage$rules_dir/65-volscan-ebs.rules
grep -q '@' "$rules" && note_failure "the udev rules keep a placeholder"
# shellcheck disable=SC2016 # the text holds a literal $
grep -q 'PROGRAM!="/usr/local/bin/volscan-id -v -b $devnode"' "$rules" \
    || note_failure "the udev rules do not run /usr/local/bin/volscan-id"
grep -qF "volscan: staged in $work/stage; once installed, have udev name the EBS volumes attached now, as root: udevadm control --reload && udevadm trigger --action=change --subsystem-match=block --sysname-match='nvme*'" \
    "$work/log" || note_failure "the staged install does not say what to run"

if ! DESTDIR=$work/stage "$cmake" --build "$build" --target uninstall >"$work/log" 2>&1; then
    cat "$work/log"
    note_failure "make uninstall failed"
fi
left=$(find "$work/stage" ! -type d)
[ -z "$left" ] || note_failure "make uninstall left: $left"

# Another prefix, given only at install time.
if ! DESTDIR=$work/opt "$cmake" --install "$build" --prefix /opt/volscan --component naming \
    >"$work/log" 2>&1; then
    cat "$work/log"
    note_failure "the install under /opt/volscan failed"
fi
rules=$work/opt$rules_dir/65-volscan-ebs.rules
# shellcheck disable=SC2016 # the text holds a literal $
grep -q 'PROGRAM!="/opt/volscan/bin/volscan-id -v -b $devnode"' "$rules" \
    || note_failure "the udev rules under /opt/volscan do not run /opt/volscan/bin/volscan-id"

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
