#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Makes sysroot-ARCH.tar.xz afresh from a FreeBSD base system: FreeBSD's
# base.txz for ARCH, or a folder that holds an installed base system (a
# FreeBSD machine's /, or the DESTDIR of "make installworld" from a FreeBSD
# source tree). See README.md beside this script for what goes in and why.
#
#   rebuild.sh amd64|aarch64 BASE [OUT_DIR]
#
# BASE: base.txz (from download.freebsd.org: releases/amd64/14.x-RELEASE/ or
# releases/arm64/aarch64/14.x-RELEASE/) or a folder. OUT_DIR (default: the
# folder of this script) receives sysroot-ARCH.tar.xz.
#
# Needs clang and lld (Debian: clang, lld), readelf and nm (binutils), tar
# and xz. Nothing from BASE runs: its libraries are only read.
set -eu

arch=${1:-}
base=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
out=${3:-$here}
case $arch in
    amd64) triple=x86_64-unknown-freebsd14.0 ;;
    aarch64) triple=aarch64-unknown-freebsd14.0 ;;
    *) arch="" ;;
esac
if [ -z "$arch" ] || [ -z "$base" ]; then
    echo "usage: $0 amd64|aarch64 BASE.txz|BASE_DIR [OUT_DIR]" >&2
    exit 2
fi
for tool in clang ld.lld readelf nm tar xz; do
    command -v $tool >/dev/null || { echo "$0: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -d "$base" ]; then
    from=$(cd "$base" && pwd)
else
    from=$work/base
    mkdir "$from"
    tar -xf "$base" -C "$from" ./usr/include ./usr/lib ./lib
fi
[ -f "$from/lib/libc.so.7" ] && [ -f "$from/usr/include/sys/param.h" ] || {
    echo "$0: $base holds no FreeBSD base system (lib/libc.so.7, usr/include)" >&2
    exit 1
}
case $(readelf -h "$from/lib/libc.so.7") in
    *"UNIX - FreeBSD"*) ;;
    *) echo "$0: $base/lib/libc.so.7 is not a FreeBSD library" >&2; exit 1 ;;
esac
root=$work/sysroot-$arch
mkdir -p "$root/usr/include" "$root/usr/lib" "$root/lib"

# Headers: libc's own (every header at the top) and the folders they and
# programs built against libc include, the NVMe driver's, and libc++'s.
(cd "$from/usr/include" && find . -maxdepth 1 -name '*.h' | tar -cf - -T -) \
    | tar -xf - -C "$root/usr/include"
for folder in arpa c++ gssapi machine net netinet netinet6 protocols rpc rpcsvc sys xlocale \
    x86 i386 dev/nvme; do
    [ -d "$from/usr/include/$folder" ] || continue
    (cd "$from/usr/include" && tar -cf - "$folder") | tar -xf - -C "$root/usr/include"
done

# Start files and the linker scripts that name libc and libc++, as they are.
for file in crt1.o crti.o crtbegin.o crtend.o crtn.o libc.so libc++.so; do
    cp "$from/usr/lib/$file" "$root/usr/lib/$file"
done

cc() {
    clang --target=$triple -fuse-ld=lld -nostdlib -fPIC -w "$@"
}
# stub LIBRARY SONAME DEST: a shared library that exports what LIBRARY
# exports with the default version of each name (older versions kept for
# old programs cannot be linked against anyway), functions as functions and
# data as data of the same size. Its functions only return.
stub() {
    name=$(basename "$3")
    readelf --dyn-syms -W "$1" | awk -v c="$work/$name.c" -v map="$work/$name.map" '
        $7 != "UND" && $5 ~ /GLOBAL|WEAK/ && $8 ~ /@@/ {
            split($8, part, "@@"); symbol = part[1]; version = part[2]
            size = $3 > 0 ? $3 : 1
            # C names of their own, the exported name by an asm label: some
            # names (.mcount) are no C identifiers.
            if ($4 == "FUNC") printf "void s%d(void) __asm__(\"%s\");\nvoid s%d(void) {}\n", NR, symbol, NR >c
            # Data aligned as any object may need: a program that copies
            # one (a copy relocation) must find it aligned for its loads.
            else if ($4 == "OBJECT") printf "char s%d[%d] __asm__(\"%s\") __attribute__((aligned(16)));\nchar s%d[%d];\n", NR, size, symbol, NR, size >c
            else if ($4 == "TLS") printf "__thread char s%d[%d] __asm__(\"%s\") __attribute__((aligned(16)));\n__thread char s%d[%d];\n", NR, size, symbol, NR, size >c
            else next
            names[version] = names[version] "    " symbol ";\n"
            if (!(version in seen)) { seen[version] = 1; order[++n] = version }
        }
        END {
            for (i = 1; i <= n; i++)
                printf "%s {\n  global:\n%s%s};\n", order[i], names[order[i]], (i == 1 ? "  local: *;\n" : "") >map
        }'
    [ -f "$work/$name.map" ] || : >"$work/$name.c"
    if [ -f "$work/$name.map" ]; then
        cc -shared -Wl,-soname,"$2" -Wl,--version-script,"$work/$name.map" \
            -o "$3" "$work/$name.c"
    else
        cc -shared -Wl,-soname,"$2" -o "$3" "$work/$name.c"
    fi
}
stub "$from/lib/libc.so.7" libc.so.7 "$root/lib/libc.so.7"
stub "$from/lib/libm.so.5" libm.so.5 "$root/lib/libm.so.5"
# The C++ runtime and libgcc: empty, so that a program needing them fails
# to link here (on FreeBSD it would silently gain a library).
: >"$work/empty.c"
cc -shared -Wl,-soname,libc++.so.1 -o "$root/usr/lib/libc++.so.1" "$work/empty.c"
cc -shared -Wl,-soname,libcxxrt.so.1 -o "$root/lib/libcxxrt.so.1" "$work/empty.c"
cc -shared -Wl,-soname,libgcc_s.so.1 -o "$root/lib/libgcc_s.so.1" "$work/empty.c"
printf '!<arch>\n' >"$root/usr/lib/libgcc.a"
# libc_nonshared.a: the functions of the real one (iconv), which only return.
nm --defined-only -g "$from/usr/lib/libc_nonshared.a" | awk 'NF == 3 && $2 ~ /[TW]/ { print $3 }' \
    | sort -u | awk '{ printf "void s%d(void) __asm__(\"%s\");\nvoid s%d(void) {}\n", NR, $1, NR }' \
    >"$work/nonshared.c"
cc -c -o "$work/nonshared.o" "$work/nonshared.c"
(cd "$work" && llvm-ar rc "$root/usr/lib/libc_nonshared.a" nonshared.o 2>/dev/null \
    || ar rc "$root/usr/lib/libc_nonshared.a" nonshared.o)
ln -s ../../lib/libm.so.5 "$root/usr/lib/libm.so"
ln -s ../../lib/libcxxrt.so.1 "$root/usr/lib/libcxxrt.so"
ln -s ../../lib/libgcc_s.so.1 "$root/usr/lib/libgcc_s.so"

mkdir -p "$out"
(cd "$work" && tar -cf - --owner=0 --group=0 --sort=name "sysroot-$arch") | xz -9 >"$out/sysroot-$arch.tar.xz"
echo "$out/sysroot-$arch.tar.xz: $(grep -m 1 '^#define __FreeBSD_version' "$root/usr/include/sys/param.h")"
