#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The README's first steps on a tree that stands alone: git clone of this
# tree's committed HEAD into an empty folder with nothing beside it (no
# shared/ there or a level up, where the FreeBSD sysroots once came from),
# then make check in the clone, in an environment that names no sysroot
# folder. The clone is removed afterwards.
#
#   clone-check.sh SOURCE_DIR
#
# Exit status 77 (skipped) where SOURCE_DIR is not a git checkout (a release
# tarball: tests/roots/dist-root.sh covers that one).
set -u
source_dir=$(cd "${1:?usage: clone-check.sh SOURCE_DIR}" && pwd)
started=$(date +%s)

if ! command -v git >/dev/null || ! rev=$(git -C "$source_dir" rev-parse --verify -q HEAD); then
    echo "SKIPPED: $source_dir is no git checkout to clone"
    exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/volscan-clone.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/empty"
clone=$scratch/empty/volscan
log=$scratch/log
git clone -q "$source_dir" "$clone" >"$log" 2>&1 && git -C "$clone" checkout -q --detach "$rev" >>"$log" 2>&1 || {
    cat "$log"
    echo "FAIL: git clone $source_dir (at $rev) failed"
    exit 1
}
for beside in "$scratch/empty/shared" "$scratch/shared"; do
    [ ! -e "$beside" ] || { echo "FAIL: $beside exists beside the clone"; exit 1; }
done

if ! (cd "$clone" && env -u VOLSCAN_FREEBSD_SYSROOTS -u MAKEFLAGS -u MFLAGS -u MAKELEVEL \
    make check) >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAIL: make check in a fresh clone failed; the lines above end its log"
    exit 1
fi
echo "a fresh clone of $rev passed make check ($(($(date +%s) - started)) s)"
