#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds the .debs and the .rpms as make packages does, and checks them:
# lintian and rpmlint find no error and say nothing of the license (their
# other warnings are shown), and the packages hold what the install rules
# stage under /usr, manual pages compressed, beside the files that only the
# package format asks for: volscan-exporter the install component exporter,
# volscan the rest. Only volscan-exporter depends on libmicrohttpd.
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
. "$(dirname "$0")/../lib.sh"

mkdir -p "$work" && rm -rf "$work/dist" || exit 1
sh "$source/packaging/build-packages.sh" "$source" "$work/build" "$work/dist" >"$work/log" 2>&1 || {
    cat "$work/log"
    echo "FAIL: building the packages failed"
    exit 1
}
# volscan, and volscan-exporter where the build has the exporter.
packages=volscan
exporter=false
if [ -e "$work/build/src/exporter/volscan-exporter" ]; then
    packages="volscan volscan-exporter"
    exporter=true
fi

for name in $packages; do
    echo "lintian $name:"
    lintian "$work"/dist/"${name}"_*.deb 2>&1 | tee "$work/lint"
    grep -q '^E: ' "$work/lint" && note_failure "lintian reports errors for $name"
    grep -qiE 'licen[cs]e|copyright' "$work/lint" && note_failure "lintian remarks on the license of $name"
    echo "rpmlint $name:"
    rpmlint -c "$source/packaging/rpmlint.toml" "$work"/dist/"$name"-[0-9]*.rpm 2>&1 \
        | grep -v '^running with root' | tee "$work/lint"
    grep -q ' 0 errors, ' "$work/lint" || note_failure "rpmlint reports errors for $name"
    grep -qiE '^[^ ]+: [EW]: .*licen[cs]e' "$work/lint" && note_failure "rpmlint remarks on the license of $name"
done

# What the install rules stage afresh, with the manual pages as packed: all
# of it, and the install component exporter alone.
# staged_list LIST [ARGUMENT...]: LIST, what cmake --install ARGUMENT... stages.
staged_list() {
    list=$1
    shift
    rm -rf "$work/stage"
    DESTDIR=$work/stage cmake --install "$work/build" "$@" >/dev/null 2>&1 \
        || note_failure "the staged install $* failed"
    mkdir -p "$work/stage"
    (cd "$work/stage" && find . ! -type d | sed 's|^\.||' \
        | sed 's|^\(/usr/share/man/man[1-9]/.*\.[1-9]\)$|\1.gz|' | LC_ALL=C sort) >"$list"
}
staged_list "$work/staged-all"
staged_list "$work/staged-exporter" --component exporter

# packed FORMAT NAME: the files of package NAME in FORMAT (.deb or .rpm),
# less those that the package format alone adds.
packed() {
    if [ "$1" = .deb ]; then
        dpkg-deb -c "$work"/dist/"$2"_*.deb | grep -v '^d' | sed 's|^.* \./|/|; s| -> .*||' \
            | grep -Ev "^/usr/share/doc/$2/(copyright|changelog\.gz)$"
    else
        rpm -qlp "$work"/dist/"$2"-[0-9]*.rpm 2>/dev/null \
            | grep -Ev "^(/usr/lib/\.build-id(/.*)?|/usr/share/licenses/$2/LICENSE)$"
    fi | LC_ALL=C sort
}
# matches WHAT WANT GOT: fails, showing the difference, unless the lists
# WANT and GOT are the same.
matches() {
    if ! cmp -s "$2" "$3"; then
        note_failure "$1 (+) other files than the staged install (-):"
        diff -u "$2" "$3" | sed -n '/^[-+][^-+]/p'
    fi
}
# Each format: the exporter's package holds what the component exporter
# stages, and the two packages together the whole install, no file in both.
for format in .deb .rpm; do
    : >"$work/packed-exporter"
    $exporter && packed $format volscan-exporter >"$work/packed-exporter"
    matches "the $format of volscan-exporter holds" "$work/staged-exporter" "$work/packed-exporter"
    packed $format volscan >"$work/packed-volscan"
    LC_ALL=C sort "$work/packed-volscan" "$work/packed-exporter" >"$work/packed-all"
    matches "the two ${format}s hold" "$work/staged-all" "$work/packed-all"
done

# volscan needs libc alone; the exporter its HTTP library, and not volscan.
deb=$(ls "$work"/dist/volscan_*.deb)
rpm=$(ls "$work"/dist/volscan-[0-9]*.rpm)
dpkg-deb -f "$deb" Depends | grep -q microhttpd && note_failure "the volscan .deb depends on libmicrohttpd"
rpm -qp --requires "$rpm" 2>/dev/null | grep -q microhttpd \
    && note_failure "the volscan .rpm requires libmicrohttpd"
if $exporter; then
    dpkg-deb -f "$work"/dist/volscan-exporter_*.deb Depends >"$work/depends"
    grep -q 'libmicrohttpd12' "$work/depends" || note_failure "the exporter .deb does not depend on libmicrohttpd"
    grep -q 'volscan' "$work/depends" && note_failure "the exporter .deb depends on volscan"
    rpm -qp --requires "$work"/dist/volscan-exporter-[0-9]*.rpm 2>/dev/null >"$work/depends"
    grep -q '^libmicrohttpd' "$work/depends" || note_failure "the exporter .rpm does not require libmicrohttpd"
    grep -q '^volscan' "$work/depends" && note_failure "the exporter .rpm requires volscan"
fi

# The exporter's user: the sysusers.d file is in both packages, and the
# .deb's postinst (with the file in place) and the .rpm's %pre (before it is)
# make a system user and group volscan-exporter with no home and no login,
# by systemd-sysusers and, on a PATH without it, by useradd; run twice, as
# an upgrade does, they change nothing. Each runs as root in a mount
# namespace of its own whose /etc is a copy, so the machine keeps its users.
if $exporter; then
    conf=/usr/lib/sysusers.d/volscan-exporter.conf
    for format in .deb .rpm; do
        packed $format volscan-exporter | grep -qx "$conf" || fail "the $format of volscan-exporter lacks $conf"
    done
    scripts=$work/scripts
    rm -rf "$scripts" && mkdir -p "$scripts/deb" "$scripts/sysusers.d" "$scripts/bin" || exit 1
    dpkg-deb -e "$work"/dist/volscan-exporter_*.deb "$scripts/deb"
    dpkg-deb --fsys-tarfile "$work"/dist/volscan-exporter_*.deb | tar -xOf - ".$conf" >"$scripts/sysusers.d/volscan-exporter.conf"
    rpm -qp --qf '%{PREIN}' "$work"/dist/volscan-exporter-[0-9]*.rpm 2>/dev/null >"$scripts/pre"
    # A PATH without systemd-sysusers: what the scripts may call, less that.
    for tool in sh getent groupadd useradd systemctl; do
        path=$(command -v $tool) && ln -s "$path" "$scripts/bin/$tool"
    done
    for case in "deb sysusers" "deb useradd" "rpm sysusers" "rpm useradd"; do
        script=$scripts/pre argument=1 path=$PATH
        [ "${case% *}" = deb ] && script=$scripts/deb/postinst argument=configure
        [ "${case#* }" = useradd ] && path=$scripts/bin
        rm -rf "${scripts:?}/etc" && cp -a /etc "$scripts/etc" || exit 1
        for file in passwd group shadow gshadow; do
            [ ! -f "$scripts/etc/$file" ] || sed -i '/^volscan-exporter:/d' "$scripts/etc/$file"
        done
        # shellcheck disable=SC2016 # the inner shell's own variables
        got=$(timeout 60 unshare --mount --propagation=private sh -c '
            mount --bind "$1/etc" /etc && mount --bind "$1/sysusers.d" /usr/lib/sysusers.d || exit 1
            for run in 1 2; do
                PATH=$2 sh "$3" "$4" >"$1/out" 2>&1 || { echo "run $run failed:"; cat "$1/out"; }
            done
            user=$(getent passwd volscan-exporter) || { echo "no user"; exit; }
            gid=$(echo "$user" | cut -d: -f4)
            echo "$user" | cut -d: -f1,5-
            [ "$(echo "$user" | cut -d: -f3)" -lt 1000 ] && echo "system user"
            [ "$(getent group volscan-exporter | cut -d: -f3)" = "$gid" ] && echo "own group"
            [ "$(grep -c "^volscan-exporter:" /etc/passwd)" = 1 ] && echo "once"' \
            sh "$scripts" "$path" "$script" "$argument" 2>&1)
        want="volscan-exporter:volscan-exporter metrics side:/nonexistent:/usr/sbin/nologin
system user
own group
once"
        [ "$got" = "$want" ] || fail "the $case script did not make the user: $got"
    done
fi

# One version, the project's, in all.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$work/build/CMakeCache.txt")
for name in $packages; do
    [ "$(dpkg-deb -f "$work"/dist/"${name}"_*.deb Version)" = "$version" ] \
        || note_failure "the .deb of $name is not version $version"
    [ "$(rpm -qp --qf '%{VERSION}' "$work"/dist/"$name"-[0-9]*.rpm 2>/dev/null)" = "$version" ] \
        || note_failure "the .rpm of $name is not version $version"
done

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
