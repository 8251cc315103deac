#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The FreeBSD 14 build of volscan, cross compiled with clang and lld through
# the project's own CMake files and cmake/freebsd-toolchain.cmake, against a
# FreeBSD sysroot (headers, start files, link stubs of libc: nothing there
# runs). Checks that no step warns, that the FreeBSD driver is the one
# compiled, that volscan needs libc.so.7 alone and volscan-exporter libc.so.7,
# libmicrohttpd.so.12 and libthr.so.3 alone, with FreeBSD's symbol versions and run-time
# linker, that the device side limits its hold on /dev before capability mode
# (read from the code built), and what a staged install under /usr/local
# holds.
#
# The sysroot has no libmicrohttpd: a link stub of it (tests/cross/
# microhttpd_stub.c, built for the target as libmicrohttpd.so.12), the
# library's header (Debian's, which is the same for every system) and its
# pkg-config file go where www/libmicrohttpd installs them, under
# usr/local in the unpacked sysroot.
#
#   freebsd.sh ARCH [WORK_DIR]      ARCH: amd64 or aarch64
#
# WORK_DIR (default: build-freebsd-ARCH in the source tree) keeps the
# unpacked sysroot, the build, and the staged install in WORK_DIR/stage.
# The sysroot tarballs come from the folder VOLSCAN_FREEBSD_SYSROOTS names,
# by default tests/cross/sysroots in the source tree.
set -u

arch=${1:-}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
work=${2:-$source_dir/build-freebsd-$arch}
sysroots=${VOLSCAN_FREEBSD_SYSROOTS:-$here/sysroots}

case $arch in
    amd64) machine="Advanced Micro Devices X86-64" ;;
    aarch64) machine="AArch64" ;;
    *)
        echo "usage: $0 amd64|aarch64 [WORK_DIR]" >&2
        exit 2
        ;;
esac

started=$(date +%s)
. "$(dirname "$0")/../lib.sh"
fail_context="FreeBSD $arch"
# stop WHAT LOG: a step failed; its log says why.
stop() {
    echo "FAIL (FreeBSD $arch): $1; the log:"
    sed 's/^/    | /' "$2"
    exit 1
}

tarball=$sysroots/sysroot-$arch.tar.xz
[ -f "$tarball" ] || {
    echo "FAIL (FreeBSD $arch): no sysroot at $tarball (VOLSCAN_FREEBSD_SYSROOTS names the folder of the tarballs; by default tests/cross/sysroots)"
    exit 1
}
mkdir -p "$work" || exit 1
work=$(cd "$work" && pwd)
log=$work/log
: >"$log"

# The sysroot is unpacked once, and again when the tarball changes.
sysroot=$work/sysroot-$arch
if [ ! -f "$sysroot.stamp" ] || [ "$tarball" -nt "$sysroot.stamp" ]; then
    rm -rf "$sysroot" "$sysroot.stamp"
    tar -xJf "$tarball" -C "$work" >>"$log" 2>&1 || stop "cannot unpack $tarball" "$log"
    [ -d "$sysroot/usr/include" ] || stop "$tarball holds no sysroot-$arch/usr/include" "$log"
    touch "$sysroot.stamp"
fi

# clang would add the host's folders named in LIBRARY_PATH to every link.
unset LIBRARY_PATH

case $arch in
    amd64) triple=x86_64-unknown-freebsd14.0 ;;
    aarch64) triple=aarch64-unknown-freebsd14.0 ;;
esac
header=/usr/include/microhttpd.h
[ -f "$header" ] || {
    echo "FAIL (FreeBSD $arch): no $header to build the exporter with (Debian package libmicrohttpd-dev; tools/install-deps.sh installs it)"
    exit 1
}
local=$sysroot/usr/local
mkdir -p "$local/include" "$local/lib" "$local/libdata/pkgconfig" || exit 1
cp "$header" "$local/include/microhttpd.h" || exit 1
# MHD_VERSION 0x00097500 is version 0.9.75.
mhd_version=$(awk '$1 == "#define" && $2 == "MHD_VERSION" {
    printf "%d.%d.%d", substr($3, 3, 2), substr($3, 5, 2), substr($3, 7, 2) }' "$header")
clang --target=$triple --sysroot="$sysroot" -fuse-ld=lld -std=c11 -Wall -Wextra -Werror \
    -fPIC -shared -nostdlib -Wl,-soname,libmicrohttpd.so.12 -I"$local/include" \
    -o "$local/lib/libmicrohttpd.so.12" "$here/microhttpd_stub.c" >>"$log" 2>&1 \
    || stop "the link stub of libmicrohttpd did not build" "$log"
ln -sf libmicrohttpd.so.12 "$local/lib/libmicrohttpd.so"
# Nor libthr, which the exporter's threads need (pthread_create is not in
# FreeBSD's libc): a link stub with its soname and symbol version, and the
# libpthread.so that links it, as FreeBSD installs them.
printf 'FBSD_1.0 { global: *; };\n' >"$work/thr.map"
clang --target=$triple --sysroot="$sysroot" -fuse-ld=lld -std=c11 -Wall -Wextra -Werror \
    -fPIC -shared -nostdlib -Wl,-soname,libthr.so.3 -Wl,--version-script="$work/thr.map" \
    -o "$sysroot/lib/libthr.so.3" "$here/thr_stub.c" >>"$log" 2>&1 \
    || stop "the link stub of libthr did not build" "$log"
ln -sf ../../lib/libthr.so.3 "$sysroot/usr/lib/libpthread.so"
cat >"$local/libdata/pkgconfig/libmicrohttpd.pc" <<EOF
prefix=/usr/local
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libmicrohttpd
Description: A library for creating an embedded HTTP server (link stub)
Version: $mhd_version
Libs: -L\${libdir} -lmicrohttpd
Cflags: -I\${includedir}
EOF
# The web configuration's libraries, stubbed the same way: zlib and libcrypt
# of the base system (headers and libraries under usr; FreeBSD's <unistd.h>
# declares crypt_r), textproc/libyaml and security/gnutls under usr/local.
# stub SOURCE SONAME FOLDER: builds SOURCE as FOLDER/SONAME, with its link name.
stub() {
    clang --target=$triple --sysroot="$sysroot" -fuse-ld=lld -std=c11 -Wall -Wextra -Werror \
        -fPIC -shared -nostdlib -Wl,-soname,"$2" -I"$local/include" \
        -o "$3/$2" "$here/$1" >>"$log" 2>&1 || stop "the link stub $1 did not build" "$log"
    ln -sf "$2" "$3/${2%%.so.*}.so"
}
for header in zlib.h zconf.h; do
    [ -f "/usr/include/$header" ] || stop "no /usr/include/$header (Debian package zlib1g-dev)" "$log"
    cp "/usr/include/$header" "$sysroot/usr/include/" || exit 1
done
[ -f /usr/include/yaml.h ] || stop "no /usr/include/yaml.h (Debian package libyaml-dev)" "$log"
[ -d /usr/include/gnutls ] || stop "no /usr/include/gnutls (Debian package libgnutls28-dev)" "$log"
cp /usr/include/yaml.h "$local/include/" && cp -r /usr/include/gnutls "$local/include/" || exit 1
stub zlib_stub.c libz.so.6 "$sysroot/usr/lib"
stub crypt_stub.c libcrypt.so.5 "$sysroot/usr/lib"
stub yaml_stub.c libyaml-0.so.2 "$local/lib"
stub gnutls_stub.c libgnutls.so.30 "$local/lib"
# pc NAME VERSION LIBRARY: a pkg-config file for a stub under usr/local.
pc() {
    printf '%s\n' "prefix=/usr/local" "libdir=\${prefix}/lib" "includedir=\${prefix}/include" "" \
        "Name: $1" "Description: $1 (link stub)" "Version: $2" "Libs: -L\${libdir} -l$3" \
        "Cflags: -I\${includedir}" >"$local/libdata/pkgconfig/$1.pc"
}
pc yaml-0.1 0.2.5 yaml-0
pc gnutls 3.7.9 gnutls
build=$work/build
configure() {
    cmake -S "$source_dir" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/freebsd-toolchain.cmake" \
        -DVOLSCAN_FREEBSD_ARCH="$arch" -DVOLSCAN_FREEBSD_SYSROOT="$sysroot" \
        -DVOLSCAN_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >>"$log" 2>&1
}
# A build folder left by another CMake or another sysroot path starts over.
configure || { rm -rf "$build" && configure; } || stop "configuring failed" "$log"
cmake --build "$build" -j 2 >>"$log" 2>&1 || stop "building failed" "$log"
stage=$work/stage
rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" --prefix /usr/local >>"$log" 2>&1 \
    || stop "the staged install failed" "$log"

if grep -qi 'warning' "$log"; then
    note_failure "a step warned:"
    grep -i -B 2 -A 3 'warning' "$log" | sed 's/^/    | /'
fi

grep -q 'src/nvme/driver_freebsd\.cpp' "$build/compile_commands.json" \
    || note_failure "src/nvme/driver_freebsd.cpp is not compiled"
grep -q 'src/nvme/driver_linux\.cpp' "$build/compile_commands.json" \
    && note_failure "src/nvme/driver_linux.cpp is compiled"

# check_program PROGRAM NEEDED...: PROGRAM is a FreeBSD program for this
# machine that needs these libraries and no other, and takes every function
# but those of the stubbed libraries (which have no symbol versions here)
# with one of FreeBSD's.
check_program() {
    program=$1
    name=$(basename "$program")
    shift
    if [ ! -f "$program" ]; then
        note_failure "$name was not built and installed; what configuring said of it:"
        grep -F -- "-- $name" "$log" | sed 's/^/    | /'
        return
    fi
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | LC_ALL=C sort | tr '\n' ' ')
    wanted=$(printf '%s\n' "$@" | LC_ALL=C sort | tr '\n' ' ')
    [ "$needed" = "$wanted" ] || note_failure "$name needs: $needed(wanted $wanted)"
    readelf -l "$program" | grep -q '\[Requesting program interpreter: /libexec/ld-elf.so.1\]' \
        || note_failure "$name's interpreter is not /libexec/ld-elf.so.1"
    headers=$(readelf -h "$program")
    case $headers in *"UNIX - FreeBSD"*) ;; *) note_failure "$name is not a FreeBSD program" ;; esac
    case $headers in *"Machine:"*"$machine"*) ;; *) note_failure "$name is not built for $machine" ;; esac
    unversioned=$(readelf --dyn-syms -W "$program" \
        | awk '$7 == "UND" && $5 != "WEAK" && $8 != "" && $8 !~ /@FBSD_1\.[0-9]+$/ && $8 !~ /^(MHD_|yaml_|gnutls_|deflate|crypt_r$)/ { print $8 }')
    [ -z "$unversioned" ] || note_failure "$name takes symbols without a FreeBSD version: $unversioned"
}
check_program "$build/volscan" libc.so.7
# The one installed, which loses the build's run path to the sysroot's
# /usr/local/lib (where FreeBSD's run-time linker looks anyway).
check_program "$stage/usr/local/bin/volscan-exporter" libc.so.7 libmicrohttpd.so.12 libthr.so.3 \
    libz.so.6 libcrypt.so.5 libyaml-0.so.2 libgnutls.so.30
readelf -d "$stage/usr/local/bin/volscan-exporter" | grep -q -e '(RPATH)' -e '(RUNPATH)' \
    && note_failure "the installed volscan-exporter keeps a run path"

# The installed tree, a link shown with its target: devd reads
# /usr/local/etc/devd, rc(8) /usr/local/etc/rc.d, and no udev rules or
# systemd unit come along.
tree=$(cd "$stage" && find . ! -type d | sort | while read -r file; do
    if [ -L "$file" ]; then echo "$file -> $(readlink "$file")"; else echo "$file"; fi
done)
want="./usr/local/bin/volscan
./usr/local/bin/volscan-exporter
./usr/local/bin/volscan-id -> volscan
./usr/local/bin/volscan-stats -> volscan
./usr/local/etc/devd/volscan-ebs.conf
./usr/local/etc/rc.d/volscan_exporter
./usr/local/libexec/volscan-ebs-links
./usr/local/share/bash-completion/completions/volscan
./usr/local/share/bash-completion/completions/volscan-exporter
./usr/local/share/bash-completion/completions/volscan-id -> volscan
./usr/local/share/bash-completion/completions/volscan-stats -> volscan
./usr/local/share/man/man8/volscan-exporter.8
./usr/local/share/man/man8/volscan-id.8 -> volscan.8
./usr/local/share/man/man8/volscan-stats.8 -> volscan.8
./usr/local/share/man/man8/volscan.8"
if [ "$tree" != "$want" ]; then
    note_failure "the staged install differs from the FreeBSD layout:"
    printf '%s\n' "$want" >"$work/want"
    printf '%s\n' "$tree" >"$work/got"
    diff -u "$work/want" "$work/got" | sed 's/^/    | /'
fi
cmp -s "$build/volscan" "$stage/usr/local/bin/volscan" || note_failure "the installed volscan is not the one built"

# The device side's hold on /dev, read from the code built: before capability
# mode it narrows the folder's rights and ioctls (nodes opened through it take
# no more), and it narrows a node's before it checks the node.
# calls OBJECT FUNCTION: the functions FUNCTION calls, in the order of its code,
# their names without C++'s decoration.
calls() {
    # Its address and size: the disassembler may print relocations of the code
    # before it as well.
    set -- "$1" $(llvm-nm -S "$1" 2>>"$log" \
        | awk -v name="$2" '$3 == "T" && index($4, "_Z" length(name) name) == 1 { print $4, $1, $2 }')
    [ $# -eq 4 ] || return
    llvm-objdump -dr --no-show-raw-insn --disassemble-symbols="$2" "$1" 2>>"$log" \
        | awk -v start="$3" -v size="$4" '
            function hex(text,   i, value) {
                value = 0
                for (i = 1; i <= length(text); i++)
                    value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
                return value
            }
            $2 ~ /^R_(X86_64_PLT32|AARCH64_(CALL|JUMP)26)$/ {
                at = $1; sub(/:$/, "", at)
                if (hex(at) < hex(start) || hex(at) >= hex(start) + hex(size))
                    next
                name = $3; sub(/[-+]0x[0-9a-f]+$/, "", name)
                if (match(name, /^_Z[0-9]+/))
                    name = substr(name, RLENGTH + 1, substr(name, 3, RLENGTH - 2) + 0)
                printf " %s", name
            }
            END { print " " }'
}
for tool in llvm-nm llvm-objdump; do
    command -v $tool >/dev/null || stop "no $tool to read the code built with (Debian package llvm)" "$log"
done
objects=$build/src/exporter/CMakeFiles/exporter_core.dir
confine=$(calls "$objects/sandbox_freebsd.cpp.o" confine_device_side)
case $confine in
    *" __cap_rights_init cap_rights_limit cap_ioctls_limit"*" cap_enter "*) ;;
    *) note_failure "confine_device_side does not limit the held /dev before cap_enter; it calls:$confine" ;;
esac
reader=$(calls "$objects/device/reader.cpp.o" read_controller)
case $reader in
    *" open_listed_node limit_node is_controller_node "*) ;;
    *) note_failure "read_controller does not limit a node before it checks it; it calls:$reader" ;;
esac
case $reader in
    *" open_listed_controller "*) note_failure "read_controller opens a node unlimited" ;;
esac

if [ $failures -ne 0 ]; then
    echo "FreeBSD $arch: $failures check(s) failed; the whole log is $log"
    exit 1
fi
echo "FreeBSD $arch: built without warnings, volscan needs libc.so.7 alone, volscan-exporter libc.so.7, libmicrohttpd.so.12, libthr.so.3 and the web configuration's libraries, staged in $stage ($(($(date +%s) - started)) s)"
