# SPDX-License-Identifier: BSD-2-Clause
# Sourced by the tests that work in a Debian root from make-root.sh and must
# leave it as it was made.
#
# overlay_root WORK: in the caller's own mount namespace (unshare -m), an
# overlay of the root named in the file WORK/lower at WORK/root, its changes
# kept in WORK/upper, with the machine's /dev (umockdev wants
# pseudo-terminals), /proc, and empty /run and /tmp. Exits with status 77
# (skipped) where the kernel has no overlay, 1 where another mount fails.
overlay_root() {
    mkdir -p "$1/root" "$1/upper" "$1/overlay-work" || exit 1
    mount --make-rprivate / || exit 1
    mount -t overlay overlay \
        -o "lowerdir=$(cat "$1/lower"),upperdir=$1/upper,workdir=$1/overlay-work" \
        "$1/root" || { echo "skipped: no overlay"; exit 77; }
    mount --rbind /dev "$1/root/dev" && mount -t proc proc "$1/root/proc" \
        && mount -t tmpfs tmpfs "$1/root/run" && mount -t tmpfs tmpfs "$1/root/tmp" || exit 1
}
