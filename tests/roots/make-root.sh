#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# A minimal Debian root (debootstrap --variant=minbase) with nothing added but
# build-essential, cmake and make, and the packages asked for with --include.
# Made once into a cache folder outside the source tree and reused after
# that; prints the root's path on standard output, and says on standard error
# when it is making one. Needs root (debootstrap, chroot) and Debian's mirror.
#
#   make-root.sh SUITE [--include=PACKAGE,...]      e.g. bullseye, trixie
#
# Environment: VOLSCAN_ROOTS, the cache folder (default
# /var/cache/volscan-roots); VOLSCAN_DEBIAN_MIRROR (default
# http://deb.debian.org/debian). A root with extra packages is a root of its
# own (SUITE+PACKAGE+...), so the plain one stays as it was made. Delete a
# root's folder to make it again.
set -eu

suite=${1:-}
[ -n "$suite" ] || {
    echo "usage: $0 SUITE [--include=PACKAGE,...]" >&2
    exit 2
}
shift
extra=""
for argument in "$@"; do
    case $argument in
        --include=*) extra="$extra,${argument#--include=}" ;;
        *)
            echo "$0: unknown argument: $argument" >&2
            exit 2
            ;;
    esac
done
extra=$(echo "$extra" | tr ',' '\n' | sed '/^$/d' | LC_ALL=C sort -u | tr '\n' ',' | sed 's/,$//')

cache=${VOLSCAN_ROOTS:-/var/cache/volscan-roots}
mirror=${VOLSCAN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
name=$suite
[ -z "$extra" ] || name="$suite+$(echo "$extra" | tr ',' '+')"
root=$cache/$name

if [ ! -f "$root/.volscan-root" ]; then
    [ "$(id -u)" -eq 0 ] || {
        echo "$0: making a Debian root needs root (debootstrap)" >&2
        exit 1
    }
    command -v debootstrap >/dev/null || {
        echo "$0: debootstrap is missing; as root, run: apt-get install debootstrap" >&2
        exit 1
    }
    mkdir -p "$cache"
    # One maker at a time: another run may be making the same root.
    exec 9>"$cache/$name.lock"
    flock 9
    if [ ! -f "$root/.volscan-root" ]; then
        echo "making a Debian $suite minbase root in $root (once; it is kept for later runs)" >&2
        started=$(date +%s)
        rm -rf "$root.tmp"
        if ! debootstrap --variant=minbase --include="build-essential,cmake,make${extra:+,$extra}" \
            "$suite" "$root.tmp" "$mirror" >"$cache/$name.log" 2>&1; then
            tail -n 20 "$cache/$name.log" >&2
            echo "$0: debootstrap of $suite failed; its log is $cache/$name.log" >&2
            rm -rf "$root.tmp"
            exit 1
        fi
        # Only downloaded packages are left behind; the root does not need them.
        rm -f "$root.tmp"/var/cache/apt/archives/*.deb
        touch "$root.tmp/.volscan-root"
        rm -rf "$root"
        mv "$root.tmp" "$root"
        echo "made $root in $(($(date +%s) - started)) s" >&2
    fi
    exec 9>&-
fi
echo "$root"
