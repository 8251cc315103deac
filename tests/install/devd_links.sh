#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD side of the stable EBS names: which GEOM events the devd
# configuration passes on, and the links its script makes and removes over
# a run of disk events, in a folder that stands for the root, with stand-ins
# for diskinfo and volscan-id.
#
#   devd_links.sh SCRIPT_TEMPLATE DEVD_CONF_TEMPLATE
set -u
template=$1
conf=$2

work=$(mktemp -d /tmp/volscan-devd.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
root=$work/root
store=$root/var/run/volscan-ebs
. "$(dirname "$0")/../lib.sh"

# --- The configuration: events of disks and partitions of nda and nvd only.
cdev_regex=$(sed -n 's/^[[:space:]]*match "cdev"[[:space:]]*"\(.*\)";$/\1/p' "$conf")
type_regex=$(sed -n 's/^[[:space:]]*match "type"[[:space:]]*"\(.*\)";$/\1/p' "$conf")
for name in nda0 nda12 nvd0 nda0p1 nda0p12 nda0s1 nda0s1a nvd3s2h; do
    echo "$name" | grep -Eq "$cdev_regex" || note_failure "devd passes no events of $name"
done
for name in nda0p1.eli nvme0 nvme0ns1 ada0 nda nda0p nda0s1i xnda0 gpt/rootfs diskid/DISK-vol0; do
    echo "$name" | grep -Eq "$cdev_regex" && note_failure "devd passes the events of $name"
done
for type in CREATE DESTROY; do
    echo "$type" | grep -Eq "$type_regex" || note_failure "devd passes no $type events"
done
for type in MEDIACHANGE SIZECHANGE CREATED; do
    echo "$type" | grep -Eq "$type_regex" && note_failure "devd passes $type events"
done
grep -q 'match "system"[[:space:]]*"GEOM";' "$conf" || note_failure "not matched on GEOM events"
grep -q 'match "subsystem"[[:space:]]*"DEV";' "$conf" || note_failure "not matched on GEOM's DEV class"
# shellcheck disable=SC2016 # the text holds a literal $
grep -q 'action "@VOLSCAN_EBS_LINKS@ $type $cdev";' "$conf" || note_failure "the action is not the script"

# --- The script. Controllers and disks are files under $work/state that
# the stand-ins read, so that a test can attach and detach volumes.
mkdir -p "$work/bin" "$root/dev" || exit 1
if grep -v '@CMAKE_INSTALL_FULL_BINDIR@' "$template" | grep -q '@[A-Za-z_]*@'; then
    note_failure "$template has a placeholder that the install does not fill"
fi
sed "s|@CMAKE_INSTALL_FULL_BINDIR@|$work/bin|g" "$template" >"$work/links"

cat >"$work/bin/volscan-id" <<EOF
#!/bin/sh
echo "volscan-id \$*" >>"$work/calls"
answer="$work/state/\$2/\${1#-}"
if [ -f "\$answer" ]; then
    cat "\$answer"
else
    echo "volscan-id: Not an EBS device: \$2" >&2
    exit 1
fi
EOF
cat >"$work/bin/diskinfo" <<EOF
#!/bin/sh
[ "\$1" = -s ] || exit 2
cat "$work/state/ident/\${2##*/}" 2>/dev/null || {
    echo "diskinfo: \$2: No such file or directory" >&2
    exit 1
}
EOF
chmod +x "$work/bin/volscan-id" "$work/bin/diskinfo"

# controller NAME SERIAL MODEL [BDEV VOLUME_LINE]
controller() {
    mkdir -p "$work/state/$1"
    rm -f "$work/state/$1"/*
    : >"$root/dev/$1"
    echo "$2" >"$work/state/$1/s"
    echo "$3" >"$work/state/$1/m"
    if [ $# -gt 3 ]; then
        echo "$4" >"$work/state/$1/b"
        echo "$5" >"$work/state/$1/v"
    fi
}
# disk NAME IDENT
disk() {
    mkdir -p "$work/state/ident"
    echo "$2" >"$work/state/ident/$1"
    : >"$root/dev/$1"
}

ebs='Amazon Elastic Block Store'
controller nvme0 QEMU0001 'QEMU NVMe Ctrl'
: >"$root/dev/nvme0ns1"
controller nvme1 vol0aaaaaaaaaaaaaaa1 "$ebs" sdf 'Volume ID: vol-0aaaaaaaaaaaaaaa1'
: >"$root/dev/nvme1ns1"
controller nvme2 AWS1234567890ABCDEF0 'Amazon EC2 NVMe Instance Storage'
controller nvme3 vol0bbbbbbbbbbbbbbb3 "$ebs" sda1 'Volume ID: vol-0bbbbbbbbbbbbbbb3'
controller nvme10 vol0ccccccccccccccc4 "$ebs" 'sdf x' 'Volume ID: vol-0ccccccccccccccc4'
disk nda0 vol0aaaaaaaaaaaaaaa1
disk nda1 vol0bbbbbbbbbbbbbbb3
disk nda2 AWS1234567890ABCDEF0
disk nvd3 QEMU0001
disk nda4 vol0ccccccccccccccc4
disk nda5 vol0ddddddddddddddd5

# event TYPE CDEV: runs the script as devd would.
event() {
    : >"$work/calls"
    PATH="$work/bin:$PATH" VOLSCAN_EBS_LINKS_ROOT=$root sh "$work/links" "$@"
    status=$?
    [ $status -eq 0 ] || note_failure "$*: exit status $status"
}

# The links, one "name -> target" per line, the root left out of the target.
links() {
    find "$store" -type l 2>/dev/null | sort | while read -r link; do
        target=$(readlink "$link")
        echo "${link#"$store"/} -> ${target#"$root"}"
    done
}

expect() {
    got=$(links)
    want=$(printf '%s\n' "$@" | sed '/^$/d')
    if [ "$got" != "$want" ]; then
        note_failure "after $step:"
        echo "  want:"
        printf '%s\n' "$want" | sed 's/^/    /'
        echo "  got:"
        printf '%s\n' "$got" | sed 's/^/    /'
    fi
}

expect_calls() {
    got=$(cat "$work/calls")
    [ "$got" = "$1" ] || note_failure "after $step: volscan-id was called as: '$got', not as '$1'"
}

step="CREATE nda0"
event CREATE nda0
expect "by-name/sdf -> /dev/nda0" "by-volume-id/vol-0aaaaaaaaaaaaaaa1 -> /dev/nda0"
if [ "$(readlink "$root/dev/ebs")" != "$store" ]; then
    note_failure "/dev/ebs is not a link to $store"
fi

step="CREATE nda0p1"
event CREATE nda0p1
expect "by-name/sdf -> /dev/nda0" "by-name/sdfp1 -> /dev/nda0p1" \
    "by-volume-id/vol-0aaaaaaaaaaaaaaa1 -> /dev/nda0" \
    "by-volume-id/vol-0aaaaaaaaaaaaaaa1p1 -> /dev/nda0p1"

step="CREATE nda1, nda1s1, nda1s1a"
event CREATE nda1
event CREATE nda1s1
event CREATE nda1s1a
base="by-name/sdf -> /dev/nda0
by-name/sdfp1 -> /dev/nda0p1
by-volume-id/vol-0aaaaaaaaaaaaaaa1 -> /dev/nda0
by-volume-id/vol-0aaaaaaaaaaaaaaa1p1 -> /dev/nda0p1"
expect "by-name/sda1 -> /dev/nda1" "by-name/sda1s1 -> /dev/nda1s1" \
    "by-name/sda1s1a -> /dev/nda1s1a" "$base" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3 -> /dev/nda1" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3s1 -> /dev/nda1s1" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3s1a -> /dev/nda1s1a"
with_nda1=$(links)

step="CREATE of an instance-storage disk, another vendor's, one without a controller"
event CREATE nda2
event CREATE nvd3
event CREATE nda5
expect "$with_nda1"

step="CREATE of providers that are no disk or partition"
for cdev in nda0p1.eli ada0 nda0p nvme1ns1; do
    event CREATE $cdev
    expect_calls ""
done
expect "$with_nda1"

step="CREATE nda4, whose block-device name makes no file name"
event CREATE nda4
expect "$with_nda1" "by-volume-id/vol-0ccccccccccccccc4 -> /dev/nda4"

step="DESTROY nda4, nda0p1"
event DESTROY nda4
expect_calls ""
event DESTROY nda0p1
expect "by-name/sda1 -> /dev/nda1" "by-name/sda1s1 -> /dev/nda1s1" \
    "by-name/sda1s1a -> /dev/nda1s1a" "by-name/sdf -> /dev/nda0" \
    "by-volume-id/vol-0aaaaaaaaaaaaaaa1 -> /dev/nda0" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3 -> /dev/nda1" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3s1 -> /dev/nda1s1" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3s1a -> /dev/nda1s1a"

step="DESTROY nda0"
event DESTROY nda0
expect "by-name/sda1 -> /dev/nda1" "by-name/sda1s1 -> /dev/nda1s1" \
    "by-name/sda1s1a -> /dev/nda1s1a" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3 -> /dev/nda1" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3s1 -> /dev/nda1s1" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3s1a -> /dev/nda1s1a"

step="another volume attached as sdf comes back as nda0"
controller nvme1 vol0eeeeeeeeeeeeeee5 "$ebs" sdf 'Volume ID: vol-0eeeeeeeeeeeeeee5'
disk nda0 vol0eeeeeeeeeeeeeee5
event CREATE nda0
expect "by-name/sda1 -> /dev/nda1" "by-name/sda1s1 -> /dev/nda1s1" \
    "by-name/sda1s1a -> /dev/nda1s1a" "by-name/sdf -> /dev/nda0" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3 -> /dev/nda1" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3s1 -> /dev/nda1s1" \
    "by-volume-id/vol-0bbbbbbbbbbbbbbb3s1a -> /dev/nda1s1a" \
    "by-volume-id/vol-0eeeeeeeeeeeeeee5 -> /dev/nda0"

step="nda1 replaced by another volume without a DESTROY"
controller nvme3 vol0fffffffffffffff6 "$ebs" sdh 'Volume ID: vol-0fffffffffffffff6'
disk nda1 vol0fffffffffffffff6
event CREATE nda1
expect "by-name/sdf -> /dev/nda0" "by-name/sdh -> /dev/nda1" \
    "by-volume-id/vol-0eeeeeeeeeeeeeee5 -> /dev/nda0" \
    "by-volume-id/vol-0fffffffffffffff6 -> /dev/nda1"

step="DESTROY-ALL before an uninstall"
event DESTROY-ALL
expect ""
[ -e "$store" ] && note_failure "$step: $store is still there"
{ [ -e "$root/dev/ebs" ] || [ -L "$root/dev/ebs" ]; } && note_failure "$step: /dev/ebs is still there"

step="CREATE-ALL after an install: every disk and partition attached"
: >"$root/dev/nda1s1"
: >"$root/dev/nda0p1.eli"
event CREATE-ALL
expect "by-name/sdf -> /dev/nda0" "by-name/sdh -> /dev/nda1" "by-name/sdhs1 -> /dev/nda1s1" \
    "by-volume-id/vol-0ccccccccccccccc4 -> /dev/nda4" \
    "by-volume-id/vol-0eeeeeeeeeeeeeee5 -> /dev/nda0" \
    "by-volume-id/vol-0fffffffffffffff6 -> /dev/nda1" \
    "by-volume-id/vol-0fffffffffffffff6s1 -> /dev/nda1s1"
[ "$(readlink "$root/dev/ebs")" = "$store" ] || note_failure "$step: /dev/ebs is not a link to $store"

step="an event without its two words"
PATH="$work/bin:$PATH" VOLSCAN_EBS_LINKS_ROOT=$root sh "$work/links" CREATE 2>"$work/err"
status=$?
[ $status -eq 2 ] || note_failure "$step: exit status $status, not 2"
[ "$(cat "$work/err")" = "usage: volscan-ebs-links CREATE|DESTROY cdev
       volscan-ebs-links CREATE-ALL|DESTROY-ALL" ] \
    || note_failure "$step: no usage text"

if command -v shellcheck >/dev/null; then
    shellcheck -s sh "$template" || note_failure "shellcheck finds fault with $template"
fi

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
