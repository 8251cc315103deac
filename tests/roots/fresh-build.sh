#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# volscan on a fresh machine: in a minimal Debian root with nothing but
# build-essential, cmake and make (make-root.sh), a clean copy of the source
# tree builds with the README's "make", installs with "make install
# DESTDIR=...", and the installed volscan gives its exact diagnostic.
#
#   fresh-build.sh SUITE        e.g. bullseye (GCC 10, CMake 3.18), trixie
#
# Needs root (chroot). The copy and the install live in the root's /tmp and
# are removed afterwards, so the root stays as it was made.
set -u
suite=${1:?usage: fresh-build.sh SUITE}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
started=$(date +%s)

[ "$(id -u)" -eq 0 ] || {
    echo "SKIPPED: a build in a Debian root needs root (chroot)"
    exit 77
}
root=$(sh "$here/make-root.sh" "$suite") || exit 1

scratch=$(mktemp -d "$root/tmp/volscan.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
inside=/tmp/${scratch##*/}
log=$scratch/log

# The tree as a checkout has it: files under version control and new ones
# not ignored, none of the build folders.
mkdir "$scratch/src"
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard \
        | xargs -0 tar -cf - --no-recursion) | tar -xf - -C "$scratch/src"
else
    (cd "$source_dir" && tar -cf - --exclude='./build*' .) | tar -xf - -C "$scratch/src"
fi

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
        LANG=C.UTF-8 sh -c "$1"
}
versions=$(in_root 'echo "GCC $(gcc -dumpfullversion), $(cmake --version | head -n 1)"')
if ! in_root "cd $inside/src && make && make install DESTDIR=$inside/stage" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "FAIL (Debian $suite, $versions): make or make install failed"
    exit 1
fi

# The oldest compilers must find nothing to warn about either.
if grep -q 'warning' "$log"; then
    grep -B 2 -A 3 'warning' "$log"
    echo "FAIL (Debian $suite, $versions): the build warned"
    exit 1
fi

in_root "$inside/stage/usr/local/bin/volscan id /dev/null" >"$scratch/out" 2>"$scratch/err"
status=$?
printf 'volscan: NVME_GET_NSID failed: Inappropriate ioctl for device\n' >"$scratch/want-err"
if [ $status -ne 1 ] || [ -s "$scratch/out" ] || ! cmp -s "$scratch/err" "$scratch/want-err"; then
    echo "FAIL (Debian $suite): volscan id /dev/null gave status $status, standard output:"
    cat "$scratch/out"
    echo "standard error:"
    cat "$scratch/err"
    exit 1
fi
echo "Debian $suite ($versions): built, installed and ran ($(($(date +%s) - started)) s)"
