#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The release tarball: volscan-VERSION.tar.gz, top folder volscan-VERSION/,
# made from the committed tree (HEAD) with git archive, so that nothing a
# build or a test leaves behind gets in. VERSION is the CMake project's.
#
#   dist.sh [OUT_DIR]        default: the top of the source tree
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
out=${1:-$source_dir}

command -v git >/dev/null && git -C "$source_dir" rev-parse --verify -q HEAD >/dev/null || {
    echo "dist: $source_dir is not a git checkout; the tarball is made from its committed tree" >&2
    exit 1
}
version=$(sed -n 's/^project(volscan VERSION \([0-9][0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
[ -n "$version" ] || { echo "dist: no project version in $source_dir/CMakeLists.txt" >&2; exit 1; }
mkdir -p "$out"
tarball=$(cd "$out" && pwd)/volscan-$version.tar.gz
git -C "$source_dir" archive --format=tar.gz --prefix="volscan-$version/" -o "$tarball" HEAD
if [ -n "$(git -C "$source_dir" status --porcelain --untracked-files=no)" ]; then
    echo "dist: note: changes not committed are not in the tarball" >&2
fi
echo "$tarball"
