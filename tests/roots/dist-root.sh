#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The release tarball on its own: make dist's volscan-VERSION.tar.gz,
# unpacked in a fresh minimal Debian 12 root that has no git (make-root.sh:
# minbase with build-essential, cmake and make), builds with make, installs
# with make install DESTDIR=..., and make check passes there, installing
# what it needs with apt-get as the README says. The kept root is not
# changed: each run works on an overlay of it (overlay.sh), in a mount
# namespace of its own. Downloaded packages are kept beside the root
# (ROOTS/bookworm.apt) for the next run.
#
#   dist-root.sh SOURCE_DIR MAKE_ROOT
#
# Needs root (chroot, mount), unshare, git (make dist) and Debian's mirror.
# Exit status 77 (skipped) when not root, without unshare or debootstrap, or
# where SOURCE_DIR is not a git checkout.
set -u

if [ "${1-}" = --inside ]; then
    work=$2
    root=$work/root
    . "$(dirname "$0")/overlay.sh"
    overlay_root "$work"
    mount -t sysfs sysfs "$root/sys" \
        && mount --bind "$(cat "$work/apt-cache")" "$root/var/cache/apt/archives" || exit 1
    cp -L /etc/resolv.conf "$root/etc/resolv.conf" || exit 1
    name=$(basename "$(cat "$work/tarball-name")" .tar.gz)
    cp "$work/tarball" "$root/usr/src/$name.tar.gz" || exit 1

    in_root() {
        chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
            HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive sh -c "$1"
    }
    in_root 'command -v git' >/dev/null && { echo "FAIL: the root has git"; exit 1; }
    if ! in_root "cd /usr/src && tar -xzf $name.tar.gz && cd $name && make && make install DESTDIR=/tmp/stage" \
        >"$work/log" 2>&1; then
        tail -n 40 "$work/log"
        echo "FAIL: make or make install of $name failed in the root"
        exit 1
    fi
    [ -x "$root/tmp/stage/usr/local/bin/volscan" ] || { echo "FAIL: make install installed no volscan"; exit 1; }
    if ! in_root "cd /usr/src/$name && make check" >"$work/log" 2>&1; then
        tail -n 60 "$work/log"
        echo "FAIL: make check of $name failed in the root; the lines above end its log"
        exit 1
    fi
    in_root 'command -v git' >/dev/null && { echo "FAIL: make check installed git"; exit 1; }
    exit 0
fi

source_dir=$(cd "${1:?usage: dist-root.sh SOURCE_DIR MAKE_ROOT}" && pwd)
make_root=${2:?usage: dist-root.sh SOURCE_DIR MAKE_ROOT}
started=$(date +%s)
. "$(dirname "$0")/../lib.sh"
[ "$(id -u)" -eq 0 ] || skip "not root"
for tool in debootstrap unshare chroot git; do
    command -v $tool >/dev/null || skip "no $tool"
done
git -C "$source_dir" rev-parse --verify -q HEAD >/dev/null || skip "$source_dir is no git checkout"

base=$(sh "$make_root" bookworm) || exit 1
work=$(mktemp -d "${TMPDIR:-/tmp}/volscan-dist-root.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
echo "$base" >"$work/lower"
mkdir -p "$base.apt" && echo "$base.apt" >"$work/apt-cache" || exit 1
tarball=$(sh "$source_dir/tools/dist.sh" "$work/dist" 2>/dev/null) || {
    echo "FAIL: make dist failed"
    exit 1
}
cp "$tarball" "$work/tarball" && echo "$tarball" >"$work/tarball-name" || exit 1
unshare -m sh "$0" --inside "$work" || exit $?
echo "$(basename "$tarball") built, installed and passed make check in a fresh Debian 12 root ($(($(date +%s) - started)) s)"
