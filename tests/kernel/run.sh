#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# volscan's Linux request path against the real kernel NVMe driver. Builds a
# static volscan from the source tree, boots Debian's kernel under QEMU
# (software emulation) with QEMU's NVMe controllers, runs the cases below in
# the guest and compares each one's standard output, standard error and exit
# status byte for byte.
#
# Usage: run.sh SOURCE_DIR WORK_DIR [CMAKE [C_COMPILER CXX_COMPILER]]
# Exit status 0 passed, 1 failed, 77 skipped: this machine cannot run the
# guest (no QEMU, no kernel package, packages not installable, QEMU does not
# start).
#
# The kernel package is downloaded once and unpacked into WORK_DIR/kernel;
# delete that folder to take a newer one.
#
# KERNEL_ARCH (environment) is the guest's machine: amd64 (the default) or
# arm64. For arm64 the static volscan is cross compiled with Debian's aarch64
# compiler, and the guest is a "virt" machine with Debian's arm64 kernel and
# busybox, downloaded and unpacked, never installed; the cases and their
# answers are the same.
set -euo pipefail

source_dir=$(cd "$1" && pwd)
work=$2
cmake=${3:-cmake}
c_compiler=${4:-cc}
cxx_compiler=${5:-c++}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
work=$(cd "$work" && pwd)
arch=${KERNEL_ARCH:-amd64}

. "$(dirname "$0")/../lib.sh"

# The guest's machine: nvme0 stands alone with namespace 1 (no multipath);
# nvme1 and nvme2 share the subsystem nvme-subsys1 and its namespace 1, so that
# with native multipath nvme1n1 and ng1n1 are head nodes over the hidden paths
# nvme1c1n1 and nvme1c2n1. The fixed PCI slots keep the controller numbers.
# shellcheck disable=SC2054 # the commas belong to QEMU's options
qemu_devices=(
    -blockdev driver=null-co,node-name=single,size=16777216,read-zeroes=on
    -blockdev driver=null-co,node-name=shared,size=16777216,read-zeroes=on
    -device nvme,id=ctrl0,serial=vs-single,drive=single,addr=4
    -device nvme-subsys,id=subsys0,nqn=volscan-shared
    -device nvme,id=ctrl1,serial=vs-shared,subsys=subsys0,addr=5
    -device nvme,id=ctrl2,serial=vs-shared,subsys=subsys0,addr=6
    -device nvme-ns,drive=shared,nsid=1,shared=on,bus=ctrl2
)
kernel_options="panic=-1 nvme_core.multipath=Y quiet"

# The guest writes the results to a serial port of their own, away from the
# console's messages: a second 16550 on amd64, a PCI one on arm64, where the
# console is the machine's PL011. init.sh takes the port from results_port.
case $arch in
    amd64)
        qemu=qemu-system-x86_64
        qemu_package=qemu-system-x86
        qemu_machine=()
        kernel_options="console=ttyS0 $kernel_options"
        ;;
    arm64)
        qemu=qemu-system-aarch64
        qemu_package=qemu-system-arm
        qemu_machine=(-M virt -cpu cortex-a57)
        kernel_options="console=ttyAMA0 results_port=ttyS0 $kernel_options"
        ;;
    *)
        echo "KERNEL_ARCH is amd64 or arm64, not $arch" >&2
        exit 2
        ;;
esac

# What the cases below rely on, as the guest sees it before them: which
# controller is which and where each disk's sysfs "device" link leads.
topology='multipath: Y
nvme0: 0000:00:04.0 vs-single
nvme1: 0000:00:05.0 vs-shared
nvme2: 0000:00:06.0 vs-shared
nvme0n1 -> ../../nvme0
nvme1c1n1 -> ../../nvme1
nvme1c2n1 -> ../../nvme2
nvme1n1 -> ../../nvme-subsys1
ng0n1 -> ../../nvme0
ng1n1 -> ../../nvme-subsys1
nodes: nvme0 nvme0n1 nvme1 nvme1n1 nvme2 ng0n1 ng1n1
'

# One case per line: name | user | preparation (run as root) | command |
# exit status | standard output | standard error. The outputs are printf %b
# texts; "-" stands for an empty field. QEMU's controllers report the PCI
# vendor id 0x1B36, so every volscan run ends at the vendor gate or earlier,
# and the diagnostic tells how far the request path got. Moving a controller's
# node away shows which controller a namespace node led to. The guest links
# /dev/disk/by-id/nvme-test to ../../nvme0n1, as udev would.
cases='
controller             |root  |-                               |volscan id nvme0                     |1|-|volscan: Not an EC2 disk: nvme0\n
controller-dev         |root  |-                               |volscan id /dev/nvme0                |1|-|volscan: Not an EC2 disk: nvme0\n
controller-stats       |root  |-                               |volscan stats nvme0                  |1|-|volscan: Not an EC2 disk: nvme0\n
namespace              |root  |-                               |volscan id nvme0n1                   |1|-|volscan: Not an EC2 disk: nvme0n1\n
namespace-stats        |root  |-                               |volscan stats /dev/nvme0n1           |1|-|volscan: Not an EC2 disk: nvme0n1\n
namespace-ctrl         |root  |mv /dev/nvme0 /dev/nvme0.away   |volscan id nvme0n1                   |1|-|volscan: could not open /dev/nvme0: No such file or directory\n
head                   |root  |-                               |volscan id nvme1n1                   |1|-|volscan: Not an EC2 disk: nvme1n1\n
head-stats             |root  |-                               |volscan stats nvme1n1                |1|-|volscan: Not an EC2 disk: nvme1n1\n
head-ctrl              |root  |mv /dev/nvme1 /dev/nvme1.away   |volscan id nvme1n1                   |1|-|volscan: could not open /dev/nvme1: No such file or directory\n
generic                |root  |-                               |volscan id ng0n1                     |1|-|volscan: Not an EC2 disk: ng0n1\n
generic-ctrl           |root  |mv /dev/nvme0 /dev/nvme0.away   |volscan id ng0n1                     |1|-|volscan: could not open /dev/nvme0: No such file or directory\n
generic-head           |root  |-                               |volscan id ng1n1                     |1|-|volscan: Not an EC2 disk: ng1n1\n
generic-head-ctrl      |root  |mv /dev/nvme1 /dev/nvme1.away   |volscan id /dev/ng1n1                |1|-|volscan: could not open /dev/nvme1: No such file or directory\n
by-id-link             |root  |-                               |volscan id /dev/disk/by-id/nvme-test |1|-|volscan: Not an EC2 disk: disk/by-id/nvme-test\n
not-nvme               |root  |-                               |volscan id /dev/null                 |1|-|volscan: NVME_GET_NSID failed: Inappropriate ioctl for device\n
missing                |root  |-                               |volscan id nvme99                    |1|-|volscan: could not open /dev/nvme99: No such file or directory\n
unprivileged           |nobody|-                               |volscan id /dev/nvme0                |1|-|volscan: could not open /dev/nvme0: Permission denied\n
unprivileged-readable  |nobody|chmod 0644 /dev/nvme0           |volscan id /dev/nvme0                |1|-|volscan: NVME_OPC_IDENTIFY failed: Permission denied\n
unprivileged-namespace |nobody|chmod 0644 /dev/nvme0n1         |volscan id nvme0n1                   |1|-|volscan: could not open /dev/nvme0: Permission denied\n
unprivileged-both      |nobody|chmod 0644 /dev/nvme0 /dev/nvme0n1|volscan stats nvme0n1                |1|-|volscan: NVME_OPC_IDENTIFY failed: Permission denied\n
'

trim() {
    local text=$1
    text=${text#"${text%%[![:space:]]*}"}
    printf '%s' "${text%"${text##*[![:space:]]}"}"
}

# --- Packages ---------------------------------------------------------------

is_static() {
    local headers
    [ -x "$1" ] && headers=$(readelf -l "$1" 2>/dev/null) && [[ $headers != *"program interpreter"* ]]
}

missing=()
command -v "$qemu" >/dev/null || missing+=("$qemu_package")
[ "$arch" != amd64 ] || is_static /bin/busybox || missing+=(busybox-static)
command -v cpio >/dev/null || missing+=(cpio)
command -v xz >/dev/null || missing+=(xz-utils)
if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" -eq 0 ] || skip "missing packages; as root run: apt-get install ${missing[*]}"
    echo "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt_options=(-o DPkg::Lock::Timeout=120 -y -qq --no-install-recommends)
    if ! apt-get install "${apt_options[@]}" "${missing[@]}" >"$work/apt.log" 2>&1; then
        apt-get update -qq >>"$work/apt.log" 2>&1 || true
        apt-get install "${apt_options[@]}" "${missing[@]}" >>"$work/apt.log" 2>&1 \
            || skip "could not install ${missing[*]}: $(tail -n 1 "$work/apt.log")"
    fi
fi
busybox=/bin/busybox
if [ "$arch" = arm64 ]; then
    busybox=$work/arm64/root/bin/busybox
    if [ ! -f "$busybox" ]; then
        status=0
        bash "$here/../cross/arm64-debs.sh" "$work/arm64" busybox-static >"$work/arm64.log" 2>&1 || status=$?
        [ "$status" -ne 77 ] || skip "$(grep -m 1 SKIPPED "$work/arm64.log")"
        [ "$status" -eq 0 ] || { cat "$work/arm64.log"; fail "cannot unpack busybox-static:arm64"; }
    fi
fi
is_static "$busybox" || skip "$busybox is not a static binary"

# --- The kernel ---------------------------------------------------------------

kernel_dir=$work/kernel

# The .ko files in the unpacked tree $1 that load nvme-core and nvme, each after
# the modules it depends on; none for drivers built into the kernel.
module_order() {
    local tree=$1
    declare -A seen=()
    local order=()
    visit() {
        local name=${1//-/_} file depends dependency
        [ -n "${seen[$name]:-}" ] && return 0
        seen[$name]=1
        if [ "$(sed 's|.*/||; s|\.ko.*||; y|-|_|' "$tree/modules.builtin" | grep -cx "$name")" != 0 ]; then
            return 0
        fi
        file=$(find "$tree/kernel" -name '*.ko*' | awk -v want="$name" '{
            base = $0; sub(/.*\//, "", base); sub(/\.ko.*/, "", base); gsub(/-/, "_", base)
            if (base == want && !found) { print; found = 1 }
        }')
        [ -n "$file" ] || { echo "module $1 not found" >&2; return 1; }
        case $file in
            *.ko.xz) depends=$(xz -dc "$file" | tr '\0' '\n' | sed -n 's/^depends=//p') ;;
            *) depends=$(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p') ;;
        esac
        for dependency in ${depends//,/ }; do
            visit "$dependency" || return 1
        done
        order+=("$file")
    }
    visit nvme-core && visit nvme || return 1
    printf '%s\n' "${order[@]}"
}

# The versioned package that Debian's current kernel metapackage names
# (with its architecture, linux-image-...:arm64, on arm64).
kernel_package() {
    local metapackage=linux-image-$arch
    [ "$arch" = amd64 ] || metapackage=$metapackage:$arch
    apt-cache depends "$metapackage" 2>/dev/null \
        | awk '/^ *Depends: linux-image-[0-9]/ && !found { print $2; found = 1 }'
}

prepare_kernel() {
    local package release unpacked offset module
    package=$(kernel_package)
    if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq >"$work/apt.log" 2>&1 || true
        package=$(kernel_package)
    fi
    [ -n "$package" ] || skip "no Debian kernel package (linux-image-$arch) is known to apt"
    release=${package#linux-image-}
    release=${release%:*}
    unpacked=$work/kernel.tmp
    rm -rf "$unpacked" "$kernel_dir"
    mkdir -p "$unpacked" "$kernel_dir/modules"
    echo "downloading $package"
    (cd "$unpacked" && apt-get -o APT::Sandbox::User=root download "$package") >"$work/apt.log" 2>&1 \
        || skip "could not download $package: $(tail -n 1 "$work/apt.log")"
    dpkg-deb -x "$unpacked"/*.deb "$unpacked/root" || fail "could not unpack $package"

    # QEMU boots the uncompressed kernel directly when it carries the PVH entry
    # note (XEN_ELFNOTE_PHYS32_ENTRY, 18), twice as fast as through the boot
    # loader of the compressed one. arm64's vmlinuz is the uncompressed Image.
    local vmlinuz=$unpacked/root/boot/vmlinuz-$release
    [ -f "$vmlinuz" ] || fail "$package has no /boot/vmlinuz-$release"
    offset=
    [ "$arch" != amd64 ] || offset=$(LC_ALL=C grep -m 1 -obUaP '\xfd7zXZ\x00' "$vmlinuz" | cut -d: -f1 || true)
    offset=${offset%%$'\n'*}
    if [ -n "$offset" ] \
        && (set +o pipefail; tail -c +$((offset + 1)) "$vmlinuz" | xz -dc --single-stream) \
            >"$kernel_dir/vmlinux" 2>/dev/null \
        && [ "$(readelf -n "$kernel_dir/vmlinux" 2>/dev/null | grep -cE '\(0x00000012\)|PHYS32_ENTRY')" != 0 ]; then
        :
    else
        rm -f "$kernel_dir/vmlinux"
        cp "$vmlinuz" "$kernel_dir/vmlinuz"
    fi

    module_order "$unpacked/root/lib/modules/$release" >"$unpacked/order" \
        || fail "cannot find the NVMe driver's modules in $package"
    : >"$kernel_dir/modules/order"
    while read -r module; do
        case $module in
            *.ko.xz) xz -dc "$module" >"$kernel_dir/modules/$(basename "$module" .xz)" ;;
            *) cp "$module" "$kernel_dir/modules/" ;;
        esac
        basename "$module" .xz >>"$kernel_dir/modules/order"
    done <"$unpacked/order"
    cp "$unpacked/root/boot/config-$release" "$kernel_dir/" 2>/dev/null || true
    rm -rf "$unpacked"
    echo "$release" >"$kernel_dir/release"
}

[ -f "$kernel_dir/release" ] || prepare_kernel
if [ -f "$kernel_dir/vmlinux" ]; then kernel=$kernel_dir/vmlinux; else kernel=$kernel_dir/vmlinuz; fi
echo "kernel $(cat "$kernel_dir/release") ($(basename "$kernel")), modules: $(tr '\n' ' ' <"$kernel_dir/modules/order")"

# --- A static volscan from the current sources ----------------------------------

build=$work/volscan-static
compilers=(-DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler")
[ "$arch" != arm64 ] \
    || compilers=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/aarch64-linux-gnu-toolchain.cmake")
configure() {
    "$cmake" -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOLSCAN_TESTS=OFF \
        -DCMAKE_EXE_LINKER_FLAGS=-static "${compilers[@]}"
}
if ! configure >"$work/build.log" 2>&1; then
    rm -rf "$build"
    configure >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "cannot configure the static build"; }
fi
"$cmake" --build "$build" -j 2 --target volscan >>"$work/build.log" 2>&1 \
    || { cat "$work/build.log"; fail "cannot build the static volscan"; }
is_static "$build/volscan" || fail "$build/volscan is not statically linked"

# --- The guest's initramfs ------------------------------------------------------

root=$work/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,dev,etc,proc,sys,tmp,lib/modules}
cp "$busybox" "$build/volscan" "$root/bin/"
cp "$here/init.sh" "$root/init"
chmod 0755 "$root/init"
cp "$kernel_dir"/modules/*.ko "$root/lib/modules/" 2>/dev/null || true
cp "$kernel_dir/modules/order" "$root/modules"

names=(topology)
declare -A want_status=([topology]=0) want_out=([topology]=$topology) want_err=([topology]="")
declare -A commands=([topology]=topology)
echo 'topology|root|:|topology' >"$root/cases"
while IFS= read -r line; do
    [ -n "$line" ] || continue
    IFS='|' read -r name user prep command status out err <<<"$line"
    name=$(trim "$name") user=$(trim "$user") prep=$(trim "$prep") command=$(trim "$command")
    [ "$prep" = - ] && prep=:
    [ "$out" = - ] && out=
    [ "$err" = - ] && err=
    names+=("$name")
    commands[$name]=$command
    want_status[$name]=$(trim "$status")
    want_out[$name]=$out
    want_err[$name]=$err
    printf '%s|%s|%s|%s\n' "$name" "$user" "$prep" "$command"
done <<<"$cases" >>"$root/cases"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initramfs.cpio"

# --- Boot ---------------------------------------------------------------------

console=$work/console.log
results=$work/results.log
rm -f "$console" "$results"
started=$(date +%s)
set +e
if [ "$arch" = amd64 ]; then
    results_port=(-serial "file:$results")
else
    results_port=(-chardev "file,id=results,path=$results" -device pci-serial,chardev=results,addr=7)
fi
timeout 90 "$qemu" "${qemu_machine[@]}" -accel tcg -nodefaults -no-user-config -display none \
    -no-reboot -m 256M -smp 1 -kernel "$kernel" -initrd "$work/initramfs.cpio" \
    -append "$kernel_options" -serial "file:$console" "${results_port[@]}" "${qemu_devices[@]}" \
    2>"$work/qemu.log"
qemu_status=$?
set -e
echo "guest ran $(($(date +%s) - started)) s"
if [ "$qemu_status" -ne 0 ] && [ ! -s "$console" ]; then
    skip "QEMU did not start (status $qemu_status): $(head -n 3 "$work/qemu.log")"
fi
[ "$qemu_status" -ne 124 ] || { tail -n 30 "$console"; fail "the guest did not finish within 90 s"; }
tr -d '\r' <"$results" >"$results.lf" 2>/dev/null || :
if ! grep -qx END "$results.lf"; then
    tail -n 40 "$console"
    fail "the guest ended without sending all results (QEMU status $qemu_status)"
fi

# --- Compare ------------------------------------------------------------------

decode() {
    if [ "$1" = - ]; then : >"$2"; else printf '%s' "$1" | base64 -d >"$2"; fi
}
show() {
    if [ -s "$1" ]; then sed 's/^/    | /' "$1"; else echo "    (empty)"; fi
}

failed=0
compare=$work/compare
mkdir -p "$compare"
for name in "${names[@]}"; do
    line=$(grep -m 1 "^CASE $name " "$results.lf" || true)
    if [ -z "$line" ]; then
        echo "FAIL $name: no result"
        failed=$((failed + 1))
        continue
    fi
    read -r _ _ status out err <<<"$line"
    decode "$out" "$compare/$name.out"
    decode "$err" "$compare/$name.err"
    printf '%b' "${want_out[$name]}" >"$compare/$name.want-out"
    printf '%b' "${want_err[$name]}" >"$compare/$name.want-err"
    if [ "$status" = "${want_status[$name]}" ] \
        && cmp -s "$compare/$name.out" "$compare/$name.want-out" \
        && cmp -s "$compare/$name.err" "$compare/$name.want-err"; then
        echo "ok   $name"
    else
        failed=$((failed + 1))
        echo "FAIL $name: ${commands[$name]}"
        echo "  status $status, wanted ${want_status[$name]}"
        for stream in out err; do
            if ! cmp -s "$compare/$name.$stream" "$compare/$name.want-$stream"; then
                echo "  std$stream:"
                show "$compare/$name.$stream"
                echo "  wanted:"
                show "$compare/$name.want-$stream"
            fi
        done
    fi
done
echo "$((${#names[@]} - failed)) passed, $failed failed"
[ "$failed" -eq 0 ] || { echo "guest console: $console"; exit 1; }
