#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The naming rules with the real volscan-id, on the emulated volume of the
# test bed (nvme0 with its namespace nvme0n1: vol0123456789abcdef0, attached
# as sdf): the udev rules' PROGRAM command line gives what the rules expect
# of it, and the devd script makes its links.
#
#   naming_bed.sh VOLSCAN_BED BINDIR RULES_TEMPLATE LINKS_TEMPLATE
set -u
bed=$1
bindir=$2
rules=$3
links_template=$4

work=$(mktemp -d /tmp/volscan-naming.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/../lib.sh"

# The PROGRAM command line as udev runs it for /dev/nvme0n1: its output is
# what the stand-in of udev_rules.sh prints, "Volume ID: ID", then NAME.
sed -n 's/^PROGRAM!="\([^"]*\)".*/\1/p' "$rules" \
    | sed "s|@CMAKE_INSTALL_FULL_BINDIR@|$bindir|; s|\$devnode|/dev/nvme0n1|" >"$work/programs"
[ "$(wc -l <"$work/programs")" -eq 1 ] || note_failure "the rules do not have one PROGRAM line"
program=$(cat "$work/programs")

# udev splits a PROGRAM line at spaces; so does the shell here.
# shellcheck disable=SC2086
"$bed" $program >"$work/out" || note_failure "$program failed"
printf 'Volume ID: %s\n%s\n' vol-0123456789abcdef0 sdf >"$work/want"
cmp -s "$work/want" "$work/out" || note_failure "$program printed '$(cat "$work/out")'"

# An instance-storage disk: it fails and prints nothing, so no links.
# shellcheck disable=SC2086
"$bed" -f instance $program >"$work/out" 2>/dev/null && note_failure "$program succeeds on instance storage"
[ -s "$work/out" ] && note_failure "$program prints '$(cat "$work/out")' on instance storage"

# The devd script with the real volscan-id: nda0 is the bed's volume.
root=$work/root
mkdir -p "$work/bin" "$root/dev" || exit 1
: >"$root/dev/nvme0"
: >"$root/dev/nvme0ns1"
: >"$root/dev/nda0"
printf '#!/bin/sh\necho vol0123456789abcdef0\n' >"$work/bin/diskinfo"
chmod +x "$work/bin/diskinfo"
sed "s|@CMAKE_INSTALL_FULL_BINDIR@|$bindir|g" "$links_template" >"$work/links"
for cdev in nda0 nda0p1; do
    # PATH is set by a shell inside the bed, which sets its own.
    # shellcheck disable=SC2016 # expanded by that shell
    "$bed" sh -c 'PATH=$1:$PATH VOLSCAN_EBS_LINKS_ROOT=$2 exec sh "$3" CREATE "$4"' sh \
        "$work/bin" "$root" "$work/links" $cdev || note_failure "the devd script failed on CREATE $cdev"
done
store=$root/var/run/volscan-ebs
got=$(cd "$store" 2>/dev/null && for link in by-name/* by-volume-id/*; do
    echo "$link -> $(readlink "$link")"
done)
want="by-name/sdf -> $root/dev/nda0
by-name/sdfp1 -> $root/dev/nda0p1
by-volume-id/vol-0123456789abcdef0 -> $root/dev/nda0
by-volume-id/vol-0123456789abcdef0p1 -> $root/dev/nda0p1"
if [ "$got" != "$want" ]; then
    note_failure "the devd script made other links:"
    printf '%s\n' "$got"
fi

if [ $failures -ne 0 ]; then
    exit 1
fi
echo "all checks passed"
