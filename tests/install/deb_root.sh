#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs the .debs into a fresh minimal Debian root made with debootstrap,
# as a user would with dpkg -i: volscan alone first, and nothing installed
# then needs libmicrohttpd; its rules land where that root's udev reads
# them, udevadm test on an emulated EBS disk gives its links, the installed
# names run. Then volscan-exporter (where it was built): it runs, it makes
# its own system user, its unit is installed disabled, and purging it drops
# the links that enabling made.
# dpkg --purge of both leaves no file behind. MAKE_ROOT (make-root.sh)
# makes the root once and keeps it; each run works on an overlay of it, in a
# mount namespace of its own, so that the kept root stays as it was made.
#
#   deb_root.sh DIST_DIR FIXTURE MAKE_ROOT [SUITE]
#
# DIST_DIR holds the .debs, as make packages leaves it.
#
# SUITE is bookworm by default: the package wants the C library of the
# Debian it was built on (bookworm, as CI) or newer, and from trixie on
# udevadm test no longer runs the rules' PROGRAM. Exit status 77 (skipped)
# when not root, or without debootstrap or unshare.
set -u

if [ "${1-}" = --inside ]; then
    work=$2
    root=$work/root
    failures=0
    fail() {
        echo "FAIL: $*"
        failures=$((failures + 1))
    }
    . "$(dirname "$0")/../roots/overlay.sh"
    overlay_root "$work"

    # Every file of the root but dpkg's own records and logs, and the backups
    # that the shadow tools keep of the user database: the exporter's system
    # user stays after a purge, as Debian keeps system users.
    snapshot() {
        (cd "$root" && find . -xdev \( -path ./dev -o -path ./proc -o -path ./run -o -path ./tmp \
            -o -path ./var/lib/dpkg -o -path ./var/log -o -path ./var/cache/debconf \
            -o -path ./etc/passwd- -o -path ./etc/group- -o -path ./etc/shadow- \
            -o -path ./etc/gshadow- \) -prune -o -print | LC_ALL=C sort)
    }
    snapshot >"$work/before"

    cp "$work/volscan.deb" "$root/tmp/volscan.deb" || exit 1
    if ! chroot "$root" dpkg -i /tmp/volscan.deb >"$work/log" 2>&1; then
        cat "$work/log"
        fail "dpkg -i failed"
    fi
    grep -qx 'volscan: udev is not running here; it names the EBS volumes when it starts' \
        "$work/log" || fail "dpkg -i did not say that udev does not run in the root"

    # The rules are in a folder that the root's udev reads.
    rules=$root/usr/lib/udev/rules.d/65-volscan-ebs.rules
    [ -f "$rules" ] || fail "no rules in /usr/lib/udev/rules.d"
    strings "$root/usr/bin/udevadm" "$root"/usr/lib/*/systemd/libsystemd-shared-*.so 2>/dev/null \
        | grep -qx /usr/lib/udev/rules.d || fail "the root's udev does not read /usr/lib/udev/rules.d"

    # The installed names run: a misuse and a missing device, byte for byte.
    chroot "$root" volscan-id >"$work/out" 2>"$work/err"
    status=$?
    printf '%s\n' "usage: volscan id [-b] [-m] [-s] [-u] [-v] device" \
        "       volscan-id [-b] [-m] [-s] [-u] [-v] device" \
        "       volscan stats [-i interval] [-j] device" \
        "       volscan-stats [-i interval] [-j] device" >"$work/want"
    { [ $status -eq 1 ] && [ ! -s "$work/out" ] && cmp -s "$work/want" "$work/err"; } \
        || fail "volscan-id with no operand: status $status, $(cat "$work/out" "$work/err")"
    chroot "$root" /usr/bin/volscan-stats nvme99 >"$work/out" 2>"$work/err"
    status=$?
    echo "volscan-stats: could not open /dev/nvme99: No such file or directory" >"$work/want"
    { [ $status -eq 1 ] && [ ! -s "$work/out" ] && cmp -s "$work/want" "$work/err"; } \
        || fail "volscan-stats nvme99: status $status, $(cat "$work/out" "$work/err")"
    # Nothing installed needs the exporter's library: dpkg would remove it.
    chroot "$root" dpkg --dry-run -r libmicrohttpd12 >"$work/log" 2>&1 \
        || fail "with volscan alone, libmicrohttpd12 is needed: $(cat "$work/log")"

    # udevadm test of the root's udev on emulated disks, with volscan-id
    # answering as on the test bed's volume (a bind mount: the package's own
    # file stays as dpkg put it).
    cp "$work/disks.umockdev" "$root/tmp/" || exit 1
    mount --bind "$work/volscan-id" "$root/usr/bin/volscan-id" || exit 1
    for case in "nvme0n1 /dev/ebs/by-name/sdf /dev/ebs/by-volume-id/vol-0123456789abcdef0" \
        "nvme2n1" "vda"; do
        kernel=${case%% *}
        want=${case#"$kernel"}
        want=${want# }
        chroot "$root" umockdev-run -d /tmp/disks.umockdev -- \
            udevadm test --action=add "/sys/class/block/$kernel" >"$work/out" 2>&1
        got=$(sed -n 's/^DEVLINKS=//p' "$work/out" | tr ' ' '\n' | grep '^/dev/ebs/' | sort \
            | tr '\n' ' ')
        got=${got% }
        [ "$got" = "$want" ] || fail "udevadm test $kernel: links '$got', not '$want'"
    done
    umount "$root/usr/bin/volscan-id" || exit 1

    if [ -e "$work/volscan-exporter.deb" ]; then
        cp "$work/volscan-exporter.deb" "$root/tmp/" || exit 1
        if ! chroot "$root" dpkg -i /tmp/volscan-exporter.deb >"$work/log" 2>&1; then
            cat "$work/log"
            fail "dpkg -i of volscan-exporter failed"
        fi
        # Its own system user and group, made by the postinst (with useradd:
        # the root has no systemd-sysusers), the same after an upgrade.
        [ -f "$root/usr/lib/sysusers.d/volscan-exporter.conf" ] \
            || fail "no /usr/lib/sysusers.d/volscan-exporter.conf"
        user=$(chroot "$root" getent passwd volscan-exporter)
        case $user in
        volscan-exporter:x:*:*:"volscan-exporter metrics side":/nonexistent:/usr/sbin/nologin) ;;
        *) fail "the package did not make the user volscan-exporter: '$user'" ;;
        esac
        uid=$(echo "$user" | cut -d: -f3)
        [ "${uid:-1000}" -lt 1000 ] || fail "volscan-exporter is not a system user: '$user'"
        [ "$(chroot "$root" getent group volscan-exporter | cut -d: -f3)" = "$(echo "$user" | cut -d: -f4)" ] \
            || fail "volscan-exporter's group is not its own"
        chroot "$root" dpkg -i /tmp/volscan-exporter.deb >"$work/log" 2>&1 || fail "dpkg -i again failed"
        [ "$(chroot "$root" getent passwd volscan-exporter)" = "$user" ] \
            || fail "the upgrade changed the user: $(chroot "$root" getent passwd volscan-exporter)"
        rm -f "$root/tmp/volscan-exporter.deb"
        chroot "$root" dpkg --dry-run -r libmicrohttpd12 >/dev/null 2>&1 \
            && fail "volscan-exporter does not depend on libmicrohttpd12"
        chroot "$root" volscan-exporter --version >"$work/out" 2>"$work/err"
        status=$?
        # shellcheck disable=SC2016 # dpkg-query's own field
        echo "volscan-exporter $(chroot "$root" dpkg-query -W -f '${Version}' volscan-exporter)" \
            >"$work/want"
        { [ $status -eq 0 ] && [ ! -s "$work/err" ] && cmp -s "$work/want" "$work/out"; } \
            || fail "volscan-exporter --version: status $status, $(cat "$work/out" "$work/err")"
        # Installed, not enabled; enabled as systemctl enable does it, which
        # the purge undoes.
        unit=usr/lib/systemd/system/volscan-exporter.service
        [ -f "$root/$unit" ] || fail "no $unit"
        enabled=$(cd "$root/etc/systemd/system" && find . -name volscan-exporter.service)
        [ -z "$enabled" ] || fail "volscan-exporter.service is enabled: $enabled"
        wants=$root/etc/systemd/system/multi-user.target.wants
        [ -d "$wants" ] || fail "no $wants in the root"
        ln -s "/$unit" "$wants/volscan-exporter.service"
        if ! chroot "$root" dpkg --purge volscan-exporter >"$work/log" 2>&1; then
            cat "$work/log"
            fail "dpkg --purge volscan-exporter failed"
        fi
    fi
    if ! chroot "$root" dpkg --purge volscan >"$work/log" 2>&1; then
        cat "$work/log"
        fail "dpkg --purge failed"
    fi
    rm -f "$root/tmp/volscan.deb" "$root/tmp/disks.umockdev"
    snapshot >"$work/after"
    if ! cmp -s "$work/before" "$work/after"; then
        fail "dpkg --purge left the root changed:"
        diff "$work/before" "$work/after"
    fi
    [ -z "$(ls -A "$root/tmp")" ] || fail "files left in /tmp: $(ls -A "$root/tmp")"
    if [ $failures -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
fi

dist=$1
fixture=$2
make_root=$3
suite=${4:-bookworm}

. "$(dirname "$0")/../lib.sh"
[ "$(id -u)" -eq 0 ] || skip "not root"
for tool in debootstrap unshare chroot; do
    command -v $tool >/dev/null || skip "no $tool"
done

# The root: minbase, with udev and umockdev to run the rules in, and the
# libraries volscan-exporter links (its package depends on them; dpkg -i
# installs no dependency).
base=$(sh "$make_root" "$suite" --include=udev,umockdev,libmicrohttpd12,libyaml-0-2,libseccomp2) || exit 1

work=$(mktemp -d /tmp/volscan-deb-root.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
echo "$base" >"$work/lower"
cp "$dist"/volscan_*.deb "$work/volscan.deb" || exit 1
if ls "$dist"/volscan-exporter_*.deb >/dev/null 2>&1; then
    cp "$dist"/volscan-exporter_*.deb "$work/volscan-exporter.deb" || exit 1
fi
grep -v '^#' "$fixture" | sed '1{/^$/d;}' >"$work/disks.umockdev"
cat >"$work/volscan-id" <<'EOF'
#!/bin/sh
# volscan-id -v -b as it answers on the EBS volume nvme0 of the fixture.
if [ "$*" = "-v -b /dev/nvme0n1" ]; then
    printf 'Volume ID: vol-0123456789abcdef0\nsdf\n'
    exit 0
fi
echo "volscan-id: Not an EBS device: ${3#/dev/}" >&2
exit 1
EOF
chmod +x "$work/volscan-id"
unshare -m sh "$0" --inside "$work"
