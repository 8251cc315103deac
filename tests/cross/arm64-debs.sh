#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Downloads Debian's arm64 builds of the packages named and unpacks them into
# DIR/root; they are never installed (an arm64 package installed here could
# replace the host's own, as busybox-static:arm64 replaces busybox). Needs
# arm64 among dpkg's architectures: as root, adds it and updates apt's lists.
#
#   arm64-debs.sh DIR PACKAGE...
# Exit status 0 done, 77 this machine cannot get them (not root, no mirror).
set -u
dir=$1
shift
mkdir -p "$dir/debs" "$dir/root" || exit 1
log=$dir/apt.log

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIPPED: arm64 packages need arm64 among dpkg's architectures; as root run:"
        echo "  dpkg --add-architecture arm64 && apt-get update"
        exit 77
    fi
    echo "adding arm64 to dpkg's architectures"
    dpkg --add-architecture arm64 || exit 1
fi
# Lists without arm64 packages: update them once.
if [ -z "$(apt-cache policy "$1:arm64" 2>/dev/null | sed -n 's/^ *Candidate: //p' | grep -v '(none)')" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "SKIPPED: apt knows no $1:arm64; as root run: apt-get update"; exit 77; }
    apt-get -o DPkg::Lock::Timeout=120 update -qq >"$log" 2>&1 || true
fi

for package in "$@"; do
    rm -f "$dir/debs/${package}_"*.deb
    (cd "$dir/debs" && apt-get -o APT::Sandbox::User=root download "$package:arm64") >>"$log" 2>&1 \
        || { echo "SKIPPED: could not download $package:arm64: $(tail -n 1 "$log")"; exit 77; }
    dpkg-deb -x "$dir/debs/${package}_"*.deb "$dir/root" || exit 1
done
