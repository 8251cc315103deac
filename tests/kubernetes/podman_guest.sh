#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# The DaemonSet as a cluster would run it, as far as a machine without a
# cluster can: Debian 13 under QEMU (software emulation), booted from a disk
# with its own kernel, initramfs and systemd, with QEMU's NVMe controllers
# attached. In the guest podman loads the image archive that make image
# wrote and runs the rendered DaemonSet with podman kube play; the results
# come back over a serial port of their own.
#
# What it shows: the image runs with no base image under it; the exporter
# serves from the pod; inside the privileged container its own split still
# holds (the device side root with CAP_SYS_ADMIN alone, the metrics side
# another user with no capability); and volscan in the container reaches the
# NVMe controllers through the host's /dev and the real driver. QEMU's
# controllers are not EBS volumes, so volscan says so, and the page holds
# the metrics' descriptions and no series.
#
# The guest has no network card; the pod gets no network of its own
# (--network none), and curl reaches the exporter inside the pod's network
# namespace with nsenter.
#
# Usage: podman_guest.sh SOURCE_DIR WORK_DIR IMAGE_ARCHIVE MAKE_ROOT
# IMAGE_ARCHIVE is the amd64 oci-archive (tools/image.sh); MAKE_ROOT is
# tests/roots/make-root.sh. Exit status 0 passed, 1 failed, 77 skipped (not
# root, no QEMU, no image, no kubectl, no Debian root).
set -euo pipefail

source_dir=$(cd "$1" && pwd)
work=$2
archive=$3
make_root=$4
mkdir -p "$work"
work=$(cd "$work" && pwd)

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*"
    exit 1
}

[ "$(id -u)" -eq 0 ] || skip "not root (debootstrap, chroot)"
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64 (qemu-system-x86)"
command -v mkfs.ext4 >/dev/null || skip "no mkfs.ext4 (e2fsprogs)"
command -v kubectl >/dev/null || skip "no kubectl"
[ -f "$archive" ] || skip "no image archive $archive (make image)"
version=$(sed -n 's/^project(volscan VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")

# A root of its own: the kernel and its modules (podman wants overlayfs,
# namespaces and cgroups beyond the NVMe driver), an initramfs that mounts
# the disk, systemd, and podman with its runtime.
base=$(sh "$make_root" trixie \
    --include=systemd,systemd-sysv,udev,kmod,curl,podman,crun,conmon,catatonit,linux-image-amd64,initramfs-tools) \
    || skip "no Debian root"
kernel=$(ls "$base"/boot/vmlinuz-* 2>/dev/null | head -n 1)
initrd=$(ls "$base"/boot/initrd.img-* 2>/dev/null | head -n 1)
[ -n "$kernel" ] && [ -n "$initrd" ] || fail "the root $base has no kernel or initramfs"

# --- The DaemonSet, rendered with the image's name ---------------------------

overlay=$work/overlay
rm -rf "$overlay"
mkdir -p "$overlay"
cp -r "$source_dir/deploy/kubernetes/base" "$overlay/base"
cat >"$overlay/kustomization.yaml" <<EOF
resources:
  - base
images:
  - name: volscan-exporter
    newName: localhost/volscan-exporter
    newTag: "$version"
EOF
timeout 60 kubectl kustomize "$overlay" >"$work/rendered.yaml" || fail "kubectl kustomize failed"
# podman kube play runs workloads; the Namespace, ServiceAccount and Service
# are the cluster's business.
awk 'BEGIN { RS = "\n---\n"; ORS = "" } /(^|\n)kind: DaemonSet\n/ { print; print "\n" }' \
    "$work/rendered.yaml" >"$work/daemonset.yaml"
grep -q '^kind: DaemonSet$' "$work/daemonset.yaml" || fail "no DaemonSet in the rendered manifests"

# --- The guest's disk ---------------------------------------------------------

guest=$work/root
rm -rf "$guest"
mkdir -p "$guest"
tar -C "$base" --exclude=./usr/lib/gcc --exclude=./usr/libexec/gcc --exclude=./usr/include \
    --exclude='./usr/share/cmake*' --exclude=./usr/share/doc --exclude=./usr/share/man \
    --exclude=./usr/share/locale --exclude=./usr/share/info --exclude='./usr/lib/x86_64-linux-gnu/perl*' \
    --exclude=./var/cache/apt --exclude=./var/lib/apt/lists --exclude=./boot -cf - . | tar -C "$guest" -xf -
cp "$archive" "$guest/root/image.oci.tar"
cp "$work/daemonset.yaml" "$guest/root/daemonset.yaml"
echo volscan-guest >"$guest/etc/hostname"
# The guest has no D-Bus: podman manages the pod's cgroups itself.
mkdir -p "$guest/etc/containers"
printf '%s\n' "[engine]" 'cgroup_manager = "cgroupfs"' 'events_logger = "file"' \
    >"$guest/etc/containers/containers.conf"
ln -sf /dev/null "$guest/etc/systemd/system/getty.target"
ln -sf /dev/null "$guest/etc/systemd/system/serial-getty@.service"

cat >"$guest/usr/local/sbin/volscan-check" <<'EOF'
#!/bin/sh
exec >/dev/ttyS1 2>&1
echo "BEGIN"
udevadm settle --timeout=30
echo "controllers: $(cd /dev && ls -d nvme[0-9] | tr '\n' ' ')"
echo "podman: $(podman --version | sed 's/^podman version \([0-9]*\)\..*/\1/')"
podman load -q -i /root/image.oci.tar 2>&1 | sed 's/^/load: /'
timeout 300 podman kube play --network none /root/daemonset.yaml >/root/play.log 2>&1
echo "play: $?"
name=$(podman ps -a --format '{{.Names}}' | grep -- '-exporter$' | head -n 1)
echo "container: $name"
pid=$(podman inspect -f '{{.State.Pid}}' "$name")
code=000
tries=0
while [ "${pid:-0}" != 0 ] && [ "$code" != 200 ] && [ $tries -lt 60 ]; do
    code=$(nsenter -t "$pid" -n curl -s -m 20 -o /root/page -w '%{http_code}' http://127.0.0.1:9720/metrics)
    tries=$((tries + 1))
    [ "$code" = 200 ] || sleep 1
done
echo "scrape: $code"
echo "series: $(grep -vc '^#' /root/page)"
echo "families: $(grep -c '^# TYPE ebs_' /root/page)"
echo "read-only root: $(podman inspect -f '{{.HostConfig.ReadonlyRootfs}}' "$name")"
echo "version: $(podman exec "$name" volscan --version 2>&1)"
out=$(podman exec "$name" volscan id /dev/nvme0 2>&1)
echo "id: $? $out"
# top on a terminal, as kubectl exec -it gives it one: it starts, and finds
# no EBS volume among QEMU's controllers. (script's terminal echoes, as "^@",
# the end of the input that it passes on.)
out=$(timeout 60 script -qec "podman exec -it $name volscan top -n 1" /dev/null)
echo "top: $? $(echo "$out" | tr -d '\r' | sed 's/\^@//g')"
for child in $(podman top "$name" hpid | tail -n +2); do
    echo "process: $(grep -E '^(Uid|CapEff):' /proc/$child/status | tr -s '\t\n' '  ')"
done
echo "state: $(podman inspect -f '{{.State.Status}}' "$name")"
echo "LOG"
cat /root/play.log
podman logs "$name" 2>&1
echo "END"
systemctl poweroff --force --force
EOF
chmod 0755 "$guest/usr/local/sbin/volscan-check"
cat >"$guest/etc/systemd/system/volscan-check.service" <<'EOF'
[Unit]
Description=The volscan image and DaemonSet check
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/usr/local/sbin/volscan-check
[Install]
WantedBy=multi-user.target
EOF
ln -sf /etc/systemd/system/volscan-check.service \
    "$guest/etc/systemd/system/multi-user.target.wants/volscan-check.service"

disk=$work/disk.img
rm -f "$disk"
size=$(($(du -sm "$guest" | cut -f1) + 1536))
mkfs.ext4 -q -F -L volscan -d "$guest" "$disk" "${size}M" || fail "mkfs.ext4 -d failed"
rm -rf "$guest"

# --- Boot ---------------------------------------------------------------------

console=$work/console.log
results=$work/results.log
rm -f "$console" "$results"
started=$(date +%s)
set +e
# shellcheck disable=SC2054 # the commas belong to QEMU's options
timeout 900 qemu-system-x86_64 -accel tcg -nodefaults -no-user-config -display none -no-reboot \
    -m 2048M -smp 2 -kernel "$kernel" -initrd "$initrd" \
    -append "root=/dev/vda rw console=ttyS0 panic=-1 quiet systemd.show_status=0" \
    -serial "file:$console" -serial "file:$results" \
    -drive file="$disk",format=raw,if=virtio \
    -blockdev driver=null-co,node-name=disk0,size=16777216,read-zeroes=on \
    -blockdev driver=null-co,node-name=disk1,size=16777216,read-zeroes=on \
    -device nvme,serial=vs-pod-0,drive=disk0 -device nvme,serial=vs-pod-1,drive=disk1 \
    2>"$work/qemu.log"
qemu_status=$?
set -e
echo "guest ran $(($(date +%s) - started)) s"
rm -f "$disk"
[ "$qemu_status" -ne 124 ] || { tail -n 30 "$console"; fail "the guest did not finish within 900 s"; }
tr -d '\r' <"$results" >"$results.lf" 2>/dev/null || :
grep -qx END "$results.lf" || { tail -n 40 "$console"; fail "the guest sent no whole report"; }

# --- Compare ------------------------------------------------------------------

report=$(sed -n '/^BEGIN$/,/^LOG$/p' "$results.lf" | sed '1d;$d')
failed=0
check() {
    if [ "$2" != "$3" ]; then
        echo "FAIL $1:"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    | /'
        failed=1
    else
        echo "ok   $1"
    fi
}
# The controllers are not EBS volumes: the page has no series, and volscan
# in the container, having reached the controller, says what it is.
want="controllers: nvme0 nvme1 
podman: 5
load: Loaded image: localhost/volscan-exporter:$version
play: 0
container: volscan-exporter-pod-exporter
scrape: 200
series: 0
read-only root: true
version: volscan $version
id: 1 volscan: Not an EC2 disk: nvme0
top: 1 volscan: no EBS volume on this machine
state: running"
got=$(grep -v -e '^process: ' -e '^families: ' <<<"$report")
check "the DaemonSet under podman kube play" "$want" "$got"
families=$(sed -n 's/^families: //p' <<<"$report")
[ "${families:-0}" -gt 0 ] && echo "ok   the page describes $families ebs_ families" \
    || { echo "FAIL the page describes no ebs_ family"; failed=1; }
# The exporter's two processes: the device side root with CAP_SYS_ADMIN
# (bit 21) alone, the metrics side the image's volscan-exporter user with none.
processes=$(grep '^process: ' <<<"$report" | sed 's/  */ /g; s/ $//' | LC_ALL=C sort)
want_processes="process: Uid: 0 0 0 0 CapEff: 0000000000200000
process: Uid: 65532 65532 65532 65532 CapEff: 0000000000000000"
check "the exporter's processes, users and capabilities" "$want_processes" "$processes"
if [ "$failed" -ne 0 ]; then
    echo "the guest's log:"
    sed -n '/^LOG$/,/^END$/p' "$results.lf" | sed '1d;$d;s/^/    | /'
    exit 1
fi
