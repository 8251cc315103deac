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
# One awk for all the files: a file's first line, and its second after "#!".
missing=$(find . \( -path './build*' -o -path ./.git -o -path ./fuzz-corpus-run \) -prune -o -type f \
    ! -name '*.md' ! -name '*.json' ! -name LICENSE ! -name .gitignore ! -name '*.tar.*' \
    ! -path './tests/fuzz/corpus/*' ! -name pkg-descr ! -name pkg-message ! -name pkg-plist \
    ! -name distinfo ! -name '*.svg' -print0 | xargs -0 awk -v tag="$tag" '
        FNR == 1 {
            if (pending != "") print pending
            pending = ""
            if (index($0, tag)) nextfile
            if (!/^#!/) { print FILENAME; nextfile }
            pending = FILENAME
            next
        }
        FNR == 2 { if (!index($0, tag)) print FILENAME; pending = ""; nextfile }
        END { if (pending != "") print pending }' | LC_ALL=C sort)
if [ -n "$missing" ]; then
    echo "FAIL: no \"$tag\" in the first comment line of:"
    printf '    %s\n' $missing
    exit 1
fi
echo "every source file names its license"
