#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# volscan for Linux on aarch64: cross compiled with Debian's aarch64 compiler
# (g++-aarch64-linux-gnu) and warnings as errors, the unit tests run under
# qemu-user. GoogleTest's arm64 build comes from Debian's libgtest-dev,
# unpacked into WORK_DIR/packages, never installed.
#
#   linux-aarch64.sh [WORK_DIR]        (default: build-aarch64 in the tree)
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
work=${1:-$source_dir/build-aarch64}
mkdir -p "$work" || exit 1
work=$(cd "$work" && pwd)
log=$work/log
: >"$log"
started=$(date +%s)

stop() {
    echo "FAIL (Linux aarch64): $1; the log:"
    sed 's/^/    | /' "$log"
    exit 1
}

packages=$work/packages
if [ ! -f "$packages/root/usr/include/gtest/gtest.h" ]; then
    sh "$here/arm64-debs.sh" "$packages" libgtest-dev >>"$log" 2>&1
    case $? in
        0) ;;
        77)
            echo "Linux aarch64: $(grep -m 1 SKIPPED "$log")"
            exit 0
            ;;
        *) stop "no arm64 GoogleTest" ;;
    esac
fi

build=$work/build
configure() {
    cmake -S "$source_dir" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/aarch64-linux-gnu-toolchain.cmake" \
        -DVOLSCAN_AARCH64_ROOT="$packages/root" -DVOLSCAN_TESTS=ON -DVOLSCAN_TEST_PARTS=unit \
        -DVOLSCAN_WERROR=ON >>"$log" 2>&1
}
configure || { rm -rf "$build" && configure; } || stop "configuring failed"
cmake --build "$build" -j 2 >>"$log" 2>&1 || stop "building failed"
machine=$(readelf -h "$build/volscan" | sed -n 's/^ *Machine: *//p')
[ "$machine" = AArch64 ] || stop "volscan is built for $machine"
if grep -qi 'warning' "$log"; then
    stop "a step warned"
fi
(cd "$build" && ctest --output-on-failure -j 2) >>"$log" 2>&1 || stop "the unit tests failed under qemu-user"
count=$(sed -n 's/^100% tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$log")
echo "Linux aarch64: built without warnings, $count unit tests passed under qemu-user ($(($(date +%s) - started)) s)"
