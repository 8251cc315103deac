#!/bin/sh
# The FreeBSD port against the staged install of the FreeBSD cross build
# (tests/cross/freebsd.sh, prefix /usr/local): its pkg-plist names every
# file the install stages and no other, its version is the project's, and
# its message tells to restart devd. The ports framework compresses manual
# pages, so the plist names them with .gz.
#
#   freebsd_plist.sh CROSS_WORK_DIR PORT_DIR
#
# CROSS_WORK_DIR is the cross build's folder (build-freebsd-ARCH), with the
# staged install in stage/ and the CMake build in build/.
set -u
stage=$1/stage
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/build/CMakeCache.txt" 2>/dev/null)
port=$2

work=$(mktemp -d /tmp/volscan-plist.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

[ -d "$stage/usr/local" ] || { echo "FAIL: no staged install in $stage/usr/local"; exit 1; }
(cd "$stage/usr/local" && find . ! -type d | sed 's|^\./||' \
    | sed 's|^\(share/man/man[1-9]/.*\.[1-9]\)$|\1.gz|' | LC_ALL=C sort) >"$work/staged"
grep -v -e '^@' -e '^$' "$port/pkg-plist" | LC_ALL=C sort >"$work/plist"
if ! cmp -s "$work/staged" "$work/plist"; then
    fail "pkg-plist (-) and the staged install (+) differ:"
    diff -u "$work/plist" "$work/staged" | sed -n '/^[-+][^-+]/p'
fi
# An empty stage would match an empty plist.
[ -s "$work/staged" ] || fail "the staged install is empty"

port_version=$(sed -n 's/^DISTVERSION=[[:space:]]*//p' "$port/Makefile")
[ "$port_version" = "$version" ] || fail "the port is version '$port_version', the project $version"
grep -q '^USES=[[:space:]]*cmake$' "$port/Makefile" || fail "the port does not build with USES=cmake"
grep -q 'service devd restart' "$port/pkg-message" || fail "pkg-message does not say to restart devd"

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
