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
# the metrics' descriptions and no series. Once the pod runs, the host
# hot-adds a third controller through QEMU's monitor (QMP device_add) and
# takes it away again (device_del), as EBS attaches and detaches volumes: the
# container sees it come and go through the node's /dev, and every scrape
# meanwhile succeeds with nothing logged.
#
# The guest has no network card; the pod gets no network of its own
# (--network none), and curl reaches the exporter inside the pod's network
# namespace with nsenter.
#
# Usage: podman_guest.sh SOURCE_DIR WORK_DIR IMAGE_ARCHIVE MAKE_ROOT
# IMAGE_ARCHIVE is the amd64 oci-archive (tools/image.sh); MAKE_ROOT is
# tests/roots/make-root.sh. Exit status 0 passed, 1 failed, 77 skipped (not
# root, no QEMU, no image, no kubectl or socat, no Debian root).
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
command -v socat >/dev/null || skip "no socat (tools/install-deps.sh image)"
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
# series: the page's series but the counts of what was found, which QEMU's
# controllers are not.
series() {
    grep -v '^#' /root/page | grep -vcE '^ebs_(volumes|instance_storage_disks) '
}
echo "found: $(grep -E '^ebs_(volumes|instance_storage_disks) ' /root/page | tr '\n' ' ')"
echo "series: $(series)"
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
# Hot attach: the host adds a controller through QEMU's monitor when asked
# (the line ATTACH), and takes it away again (DETACH).
scrape() {
    nsenter -t "$pid" -n curl -s -m 20 -o /root/page -w '%{http_code}' http://127.0.0.1:9720/metrics
}
# new_log: the exporter's log lines since the last call, each after PREFIX.
logged=$(podman logs "$name" 2>&1 | wc -l)
new_log() {
    podman logs "$name" 2>&1 | tail -n +$((logged + 1)) | sed "s/^/$1: /"
    logged=$(podman logs "$name" 2>&1 | wc -l)
}
echo "ATTACH"
# The node comes before the controller is up, and opening it fails (EAGAIN)
# until then: the scrape that counts is the first once it is live.
tries=0
while [ "$(cat /sys/class/nvme/nvme2/state 2>/dev/null)" != live ] && [ $tries -lt 120 ]; do
    sleep 1
    tries=$((tries + 1))
done
udevadm settle --timeout=30
echo "attached: $(cd /dev && ls -d nvme[0-9] | tr '\n' ' ')$(cat /sys/class/nvme/nvme2/state)"
echo "attached, scrape: $(scrape), series: $(series)"
out=$(podman exec "$name" volscan id /dev/nvme2 2>&1)
echo "attached, id: $? $out"
new_log "attached, log"
echo "DETACH"
# Scrapes while it leaves, and three after.
scrapes=0
failed=0
tries=0
while [ -e /dev/nvme2 ] && [ $tries -lt 240 ]; do
    [ "$(scrape)" = 200 ] || failed=$((failed + 1))
    scrapes=$((scrapes + 1))
    tries=$((tries + 1))
done
udevadm settle --timeout=30
echo "scrapes while it left: $scrapes, failed: $failed"
new_log "leaving, log"
echo "detached: $(cd /dev && ls -d nvme[0-9] | tr '\n' ' ')"
for _ in 1 2 3; do
    echo "detached, scrape: $(scrape), series: $(series)"
    sleep 1
done
out=$(podman exec "$name" volscan id /dev/nvme2 2>&1)
echo "detached, id: $? $out"
new_log "detached, log"
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
# The controller to hot-add: a small image file of its own.
hot=$work/hot.img
rm -f "$hot"
truncate -s 16M "$hot"
qmp=$work/qmp.sock
rm -f "$qmp"
started=$(date +%s)
# shellcheck disable=SC2054 # the commas belong to QEMU's options
timeout 900 qemu-system-x86_64 -accel tcg -nodefaults -no-user-config -display none -no-reboot \
    -m 2048M -smp 2 -kernel "$kernel" -initrd "$initrd" \
    -append "root=/dev/vda rw console=ttyS0 panic=-1 quiet systemd.show_status=0" \
    -serial "file:$console" -serial "file:$results" -qmp "unix:$qmp,server=on,wait=off" \
    -drive file="$disk",format=raw,if=virtio \
    -blockdev driver=null-co,node-name=disk0,size=16777216,read-zeroes=on \
    -blockdev driver=null-co,node-name=disk1,size=16777216,read-zeroes=on \
    -device nvme,serial=vs-pod-0,drive=disk0 -device nvme,serial=vs-pod-1,drive=disk1 \
    2>"$work/qemu.log" &
qemu=$!

# Waits for the guest's line LINE while QEMU runs; false if QEMU ended first.
guest_asks() {
    while kill -0 "$qemu" 2>/dev/null; do
        tr -d '\r' 2>/dev/null <"$results" | grep -qx "$1" && return 0
        sleep 1
    done
    return 1
}
# Sends QEMU's monitor the COMMANDs (JSON, one a line) after the handshake;
# its answers go to FILE, and none may be an error.
monitor() {
    local log=$1
    shift
    { echo '{"execute": "qmp_capabilities"}'; printf '%s\n' "$@"; sleep 3; } \
        | timeout 30 socat - "UNIX-CONNECT:$qmp" >"$log" 2>&1
    grep -q '"return"' "$log" && ! grep -q '"error"' "$log"
}
hot_plug=""
if guest_asks ATTACH; then
    monitor "$work/qmp-attach.log" \
        "{\"execute\": \"blockdev-add\", \"arguments\": {\"driver\": \"raw\", \"node-name\": \"hot0\", \"file\": {\"driver\": \"file\", \"filename\": \"$hot\"}}}" \
        '{"execute": "device_add", "arguments": {"driver": "nvme", "id": "hot", "serial": "vs-hot", "drive": "hot0"}}' \
        || hot_plug="device_add failed: $(cat "$work/qmp-attach.log")"
fi
if [ -z "$hot_plug" ] && guest_asks DETACH; then
    monitor "$work/qmp-detach.log" '{"execute": "device_del", "arguments": {"id": "hot"}}' \
        || hot_plug="device_del failed: $(cat "$work/qmp-detach.log")"
fi
set +e
wait "$qemu"
qemu_status=$?
set -e
echo "guest ran $(($(date +%s) - started)) s"
rm -f "$disk" "$hot"
[ -z "$hot_plug" ] || { tail -n 30 "$console"; fail "QEMU's monitor: $hot_plug"; }
[ "$qemu_status" -ne 124 ] || { tail -n 30 "$console"; fail "the guest did not finish within 900 s"; }
tr -d '\r' <"$results" >"$results.lf" 2>/dev/null || :
grep -qx END "$results.lf" || { tail -n 40 "$console"; fail "the guest sent no whole report"; }

# --- Compare ------------------------------------------------------------------

report=$(sed -n '/^BEGIN$/,/^LOG$/p' "$results.lf" | sed '1d;$d')
failed=0
check() {
    if [ "$2" != "$3" ]; then
        echo "FAIL $1:"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    | /' || true
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
found: ebs_volumes 0 ebs_instance_storage_disks 0 
series: 0
read-only root: true
version: volscan $version
id: 1 volscan: Not an EC2 disk: nvme0
top: 1 volscan: no EBS volume on this machine
state: running"
got=$(sed '/^ATTACH$/,$d' <<<"$report" | grep -v -e '^process: ' -e '^families: ')
check "the DaemonSet under podman kube play" "$want" "$got"
# A controller added after the pod started is in the container's /dev (the
# node's) at once, and the exporter reads it at the next scrape: QEMU's is
# no EC2 device, which the page leaves out. Taken away, it is gone from both;
# no scrape fails meanwhile and the exporter logs nothing of it.
want="attached: nvme0 nvme1 nvme2 live
attached, scrape: 200, series: 0
attached, id: 1 volscan: Not an EC2 disk: nvme2
failed: 0
detached: nvme0 nvme1 
detached, scrape: 200, series: 0
detached, scrape: 200, series: 0
detached, scrape: 200, series: 0
detached, id: 1 volscan: could not open /dev/nvme2: No such file or directory"
got=$(sed '1,/^ATTACH$/d' <<<"$report" | grep -vx DETACH | grep -v '^leaving, log: ' \
    | sed 's/^scrapes while it left: [0-9]*, //')
check "a controller hot-added and removed while the pod runs" "$want" "$got"
# A scrape while the kernel takes the controller away may find its node
# refusing to open: the exporter says so once, not at every scrape.
leaving=$(sed -n 's/^leaving, log: //p' <<<"$report")
scrapes=$(sed -n 's/^scrapes while it left: \([0-9]*\),.*/\1/p' <<<"$report")
if [ -z "$leaving" ] || { [ "$(wc -l <<<"$leaving")" -eq 1 ] && [[ $leaving == "volscan-exporter: nvme2 (nvme2): "* ]]; }; then
    echo "ok   $scrapes scrapes while it left, logged: ${leaving:-nothing}"
else
    echo "FAIL logged while the controller left, more than one line about it:"
    echo "$leaving" | sed 's/^/    | /'
    failed=1
fi
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
