#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# mandoc's lint of the manual page: any message at all fails. SEE ALSO names
# pages as plain text, since each system lacks the other's pages and mandoc
# would note every cross reference to them.
#
#   man_lint.sh PAGE
set -u
page=$1
if ! command -v mandoc >/dev/null; then
    echo "skipped: no mandoc"
    exit 77
fi
messages=$(mandoc -Tlint "$page" 2>&1)
if [ -n "$messages" ]; then
    printf '%s\n' "$messages"
    exit 1
fi
