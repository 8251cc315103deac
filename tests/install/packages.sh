#!/bin/sh
# Builds the .deb and the .rpm as make packages does, and checks them:
# lintian and rpmlint find no error (their warnings are shown), and each
# package holds what the install rules stage under /usr, manual pages
# compressed, beside the files that only the package format asks for.
#
#   packages.sh SOURCE_DIR WORK_DIR
#
# WORK_DIR keeps the packages in WORK_DIR/dist for deb_root.sh. Exit status
# 77 (skipped) without dpkg-deb, rpmbuild, lintian or rpmlint.
set -u
source=$1
work=$2

for tool in dpkg-deb dpkg-shlibdeps rpmbuild lintian rpmlint; do
    if ! command -v $tool >/dev/null; then
        echo "skipped: no $tool (Debian packages dpkg-dev, rpm, lintian, rpmlint)"
        exit 77
    fi
done
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

mkdir -p "$work" && rm -rf "$work/dist" || exit 1
sh "$source/packaging/build-packages.sh" "$source" "$work/build" "$work/dist" >"$work/log" 2>&1 || {
    cat "$work/log"
    echo "FAIL: building the packages failed"
    exit 1
}
deb=$(ls "$work"/dist/volscan_*.deb)
rpm=$(ls "$work"/dist/volscan-*.rpm)

echo "lintian:"
lintian "$deb" 2>&1 | tee "$work/lint"
grep -q '^E: ' "$work/lint" && fail "lintian reports errors"
echo "rpmlint:"
rpmlint -c "$source/packaging/rpmlint.toml" "$rpm" 2>&1 | grep -v '^running with root' | tee "$work/lint"
grep -q ' 0 errors, ' "$work/lint" || fail "rpmlint reports errors"

# What the install rules stage, afresh, with the manual pages as packed.
rm -rf "$work/stage"
DESTDIR=$work/stage cmake --install "$work/build" >/dev/null 2>&1 || fail "the staged install failed"
(cd "$work/stage" && find . ! -type d | sed 's|^\.||' \
    | sed 's|^\(/usr/share/man/man[1-9]/.*\.[1-9]\)$|\1.gz|' | LC_ALL=C sort) >"$work/staged"

# list_matches FORMAT LIST EXTRA...: LIST, less the files the package format
# alone adds (EXTRA, as patterns for grep -E), is the staged install.
list_matches() {
    format=$1 list=$2
    shift 2
    extra=$(printf '%s|' "$@")
    grep -Ev "^(${extra%|})$" "$list" | LC_ALL=C sort >"$work/packed"
    if ! cmp -s "$work/staged" "$work/packed"; then
        fail "the $format holds (+) other files than the staged install (-):"
        diff -u "$work/staged" "$work/packed" | sed -n '/^[-+][^-+]/p'
    fi
}
dpkg-deb -c "$deb" | grep -v '^d' | sed 's|^.* \./|/|; s| -> .*||' >"$work/deb-list"
list_matches .deb "$work/deb-list" /usr/share/doc/volscan/copyright /usr/share/doc/volscan/changelog.gz
rpm -qlp "$rpm" 2>/dev/null >"$work/rpm-list"
list_matches .rpm "$work/rpm-list" '/usr/lib/\.build-id(/.*)?' /usr/share/licenses/volscan/COPYING

# One version, the project's, in both.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$work/build/CMakeCache.txt")
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the .deb is not version $version"
[ "$(rpm -qp --qf '%{VERSION}' "$rpm" 2>/dev/null)" = "$version" ] || fail "the .rpm is not version $version"

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
