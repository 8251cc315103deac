#!/bin/sh
# The naming rules with the real volscan-id, on the emulated volume of the
# test bed (nvme0 with its namespace nvme0n1: vol0123456789abcdef0, attached
# as sdf): the udev rules' PROGRAM command lines give what the rules expect
# of them, and the devd script makes its links.
#
#   naming_bed.sh VOLSCAN_BED BINDIR RULES_TEMPLATE LINKS_TEMPLATE
set -u
bed=$1
bindir=$2
rules=$3
links_template=$4

work=$(mktemp -d /tmp/volscan-naming.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The PROGRAM command lines as udev runs them for /dev/nvme0n1.
sed -n 's/^PROGRAM=="\([^"]*\)".*/\1/p' "$rules" \
    | sed "s|@CMAKE_INSTALL_FULL_BINDIR@|$bindir|; s|\$devnode|/dev/nvme0n1|" >"$work/programs"
[ "$(wc -l <"$work/programs")" -eq 2 ] || fail "the rules do not have two PROGRAM lines"
name_program=$(sed -n 1p "$work/programs")
volume_program=$(sed -n 2p "$work/programs")

# udev splits a PROGRAM line at spaces; so does the shell here.
# shellcheck disable=SC2086
name=$("$bed" $name_program) || fail "$name_program failed"
[ "$name" = sdf ] || fail "$name_program printed '$name', not the bare name sdf"
# shellcheck disable=SC2086
volume=$("$bed" $volume_program) || fail "$volume_program failed"
case $volume in
"Volume ID: "?*) ;;
*) fail "$volume_program printed '$volume', which RESULT==\"Volume ID: ?*\" does not match" ;;
esac
# %c{3+}: the third space-separated part and all after it.
volume_id=$(echo "$volume" | cut -d' ' -f3-)
[ "$volume_id" = vol-0123456789abcdef0 ] || fail "the volume ID taken is '$volume_id'"

# An instance-storage disk: both fail and print nothing, so no links.
for program in "$name_program" "$volume_program"; do
    # shellcheck disable=SC2086
    out=$("$bed" -f instance $program 2>/dev/null) && fail "$program succeeds on instance storage"
    [ -z "$out" ] || fail "$program prints '$out' on instance storage"
done

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
        "$work/bin" "$root" "$work/links" $cdev || fail "the devd script failed on CREATE $cdev"
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
    fail "the devd script made other links:"
    printf '%s\n' "$got"
fi

if [ $failures -ne 0 ]; then
    exit 1
fi
echo "all checks passed"
