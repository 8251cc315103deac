#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# layers.sh on a copy of src with one line planted at a time: each case is
# the file planted, its line, and the exact report expected (empty: the
# tree passes). Then on the tree itself, which must pass.
#   layers_test.sh SOURCE_DIR
set -u
source=${1:?usage: layers_test.sh SOURCE_DIR}
. "$source/tests/lib.sh"
lint=$source/tests/lint/layers.sh
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp -R "$source/src" "$dir/src" || fail "could not copy src"

driver_rule="FAIL: the driver's header included outside src/nvme, src/cli and the exporter's device side:"
print_rule="FAIL: a device layer writes to standard output:"
web_rule="FAIL: libmicrohttpd's header included outside the exporter's web room:"
passed="the layers keep to their rooms"

# file|planted line|expected report, lines separated by "\n"
cases='src/exporter/web/planted.cpp|#include "nvme/driver.h"|'"$driver_rule"'\n    src/exporter/web/planted.cpp:1: #include "nvme/driver.h"
src/exporter/planted.h|  #  include <nvme/driver.h>|'"$driver_rule"'\n    src/exporter/planted.h:1:   #  include <nvme/driver.h>
src/exporter/device/planted.cpp|#include "nvme/driver.h"|'"$passed"'
src/exporter/webconfig/planted.cpp|#include <microhttpd.h>|'"$web_rule"'\n    src/exporter/webconfig/planted.cpp:1: #include <microhttpd.h>
src/exporter/web/planted.cpp|#include <microhttpd.h>|'"$passed"'
src/stats/planted.cpp|    fprintf(stdout, "%d", 1);|'"$print_rule"'\n    src/stats/planted.cpp:1:     fprintf(stdout, "%d", 1);
src/identity/planted.cpp|    write(1, "x", 1);|'"$print_rule"'\n    src/identity/planted.cpp:1:     write(1, "x", 1);
src/nvme/planted.h|    std::cout << 1;|'"$print_rule"'\n    src/nvme/planted.h:1:     std::cout << 1;
src/stats/planted.cpp|    puts("x"); // no more|'"$print_rule"'\n    src/stats/planted.cpp:1:     puts("x"); // no more
src/stats/planted.cpp|    snprintf(text, 4, "x"); fprintf(stderr, "x"); // printf(x) to stdout|'"$passed"

printf '%s\n' "$cases" | while IFS='|' read -r file line expected; do
    fail_context=$file
    mkdir -p "$dir/$(dirname "$file")"
    printf '%s\n' "$line" >"$dir/$file"
    got=$(timeout 20 sh "$lint" "$dir")
    status=$?
    want=$(printf '%b' "$expected")
    [ "$got" = "$want" ] || fail "planted '$line': got
$got
expected
$want"
    case $want in
    FAIL*) [ "$status" -eq 1 ] || fail "status $status, expected 1" ;;
    *) [ "$status" -eq 0 ] || fail "status $status, expected 0" ;;
    esac
    rm -f "$dir/$file"
done || exit 1

fail_context=
got=$(timeout 20 sh "$lint" "$source")
status=$?
[ "$got" = "$passed" ] && [ "$status" -eq 0 ] || fail "the tree itself: status $status
$got"
echo "ok"
