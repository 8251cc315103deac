#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The layers of src keep to their rooms:
# - the NVMe driver's header, the one way to a device, is included only by
#   the places below: the driver itself, volscan's front end, and the
#   exporter's privileged device side;
# - libmicrohttpd's header is included only in the exporter's web room;
# - the device layers (src/nvme, src/identity, src/stats) never write to
#   standard output: what is printed, and how, is a front end's business.
# Comments are not read. Files are named from SOURCE_DIR, in sorted order.
#
#   layers.sh SOURCE_DIR
set -u

# Where the driver's header may be included: a folder (ending in "/") or a file.
driver_allowed='
src/nvme/
src/cli/
src/exporter/device/
'
# Where libmicrohttpd's header may be included: the exporter's web room.
web_allowed='src/exporter/web/'
device_layers='src/nvme src/identity src/stats'

source=${1:?usage: layers.sh SOURCE_DIR}
cd "$source" || exit 1

# Every line of the sources under the folders given that matches the
# extended regular expression, with any // comment removed first.
code_matching()
{
    pattern=$1
    shift
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print |
        LC_ALL=C sort | while read -r file; do
            awk -v pattern="$pattern" -v file="$file" '
                { code = $0; sub(/\/\/.*/, "", code) }
                code ~ pattern { print file ":" FNR ": " $0 }' "$file"
        done
}

allowed()
{
    for place in $driver_allowed; do
        case $1 in
        "$place"*) return 0 ;;
        esac
    done
    return 1
}

status=0
includes=$(code_matching '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](nvme/)?driver\.h[">]' src |
    while IFS= read -r line; do
        allowed "${line%%:*}" || printf "%s\n" "$line"
    done)
if [ -n "$includes" ]; then
    echo "FAIL: the driver's header included outside src/nvme, src/cli and the exporter's device side:"
    printf "%s\n" "$includes" | sed 's/^/    /'
    status=1
fi

web=$(code_matching '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]microhttpd\.h[">]' src |
    while IFS= read -r line; do
        case ${line%%:*} in
        "$web_allowed"*) ;;
        *) printf "%s\n" "$line" ;;
        esac
    done)
if [ -n "$web" ]; then
    echo "FAIL: libmicrohttpd's header included outside the exporter's web room:"
    printf "%s\n" "$web" | sed 's/^/    /'
    status=1
fi

word_start='(^|[^A-Za-z0-9_])'
printing="${word_start}(printf|vprintf|puts|putchar)[[:space:]]*\\(|${word_start}(stdout|STDOUT_FILENO|cout)([^A-Za-z0-9_]|\$)|${word_start}(write|dprintf)[[:space:]]*\\([[:space:]]*1[[:space:]]*,"
# shellcheck disable=SC2086
writes=$(code_matching "$printing" $device_layers)
if [ -n "$writes" ]; then
    echo "FAIL: a device layer writes to standard output:"
    printf "%s\n" "$writes" | sed 's/^/    /'
    status=1
fi
[ "$status" -eq 0 ] && echo "the layers keep to their rooms"
exit "$status"
