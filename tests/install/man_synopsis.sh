#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The manual page's SYNOPSIS, as mandoc renders it, must read as the synopsis
# that --help prints, line for line, and begin with the usage text printed on
# misuse; and every option in it must have its entry in the page.
#
#   man_synopsis.sh PAGE VOLSCAN
set -u
page=$1
volscan=$2
if ! command -v mandoc >/dev/null; then
    echo "skipped: no mandoc"
    exit 77
fi
status=0

synopsis=$(mandoc -Tascii -O width=200 "$page" 2>/dev/null | sed 's/.\x08//g' \
    | sed -n '/^SYNOPSIS$/,/^[A-Z]/{/^ /p;}' | sed 's/^ *//')
usage=$("$volscan" --help | sed '/^$/q' | sed '/^$/d; s/^usage: //; s/^ *//')
if [ -z "$usage" ] || [ "$synopsis" != "$usage" ]; then
    echo "FAIL: the SYNOPSIS is not the synopsis of --help"
    echo "SYNOPSIS:"
    printf '%s\n' "$synopsis"
    echo "--help:"
    printf '%s\n' "$usage"
    status=1
fi
misuse=$("$volscan" 2>&1 >/dev/null | sed 's/^usage: //; s/^ *//')
lines=$(printf '%s\n' "$misuse" | wc -l)
if [ -z "$misuse" ] || [ "$(printf '%s\n' "$usage" | head -n "$lines")" != "$misuse" ]; then
    echo "FAIL: the usage text is not the start of the SYNOPSIS"
    printf '%s\n' "$misuse"
    status=1
fi

letters=$(printf '%s\n' "$usage" | grep -o '\[-[a-z]' | cut -c3 | sort -u)
for letter in $letters; do
    if ! grep -q "^\.It Fl $letter\( \|$\)" "$page"; then
        echo "FAIL: option -$letter has no entry in the page"
        status=1
    fi
done
exit $status
