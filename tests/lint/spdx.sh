#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Every source file of the tree names its license in its first comment line
# (after a "#!" line): the line that holds "SPDX-License-Identifier:
# BSD-2-Clause" is the first or, after "#!", the second. Files that cannot
# carry a comment, or are no source, are left out: Markdown, JSON, the
# license itself, the fuzzers' seed inputs, tarballs, and the FreeBSD port's
# description, message and packing list. Build folders (build*) and git's
# own files are not looked at. Works without git, in a release tarball too.
#
#   spdx.sh SOURCE_DIR
set -u
source=${1:?usage: spdx.sh SOURCE_DIR}
cd "$source" || exit 1

tag='SPDX-License-Identifier: BSD-2-Clause'
missing=$(find . \( -path './build*' -o -path ./.git -o -path ./fuzz-corpus-run \) -prune -o -type f \
    ! -name '*.md' ! -name '*.json' ! -name LICENSE ! -name .gitignore ! -name '*.tar.*' \
    ! -path './tests/fuzz/corpus/*' ! -name pkg-descr ! -name pkg-message ! -name pkg-plist \
    ! -name distinfo -print | LC_ALL=C sort | while read -r file; do
    lines=1
    [ "$(head -c 2 "$file")" != '#!' ] || lines=2
    head -n $lines "$file" | tail -n 1 | grep -qF "$tag" || echo "$file"
done)
if [ -n "$missing" ]; then
    echo "FAIL: no \"$tag\" in the first comment line of:"
    printf '    %s\n' $missing
    exit 1
fi
echo "every source file names its license"
