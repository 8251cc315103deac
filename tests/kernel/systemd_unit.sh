#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# volscan-exporter's systemd unit under a real systemd: Debian's kernel under
# QEMU (software emulation) with QEMU's three NVMe controllers, booting a
# Debian root whose init is systemd. In the guest the built packages are
# installed with dpkg, the service is started with systemctl and scraped with
# curl; the results come back over a serial port of their own.
#
# What it shows: the unit's sandbox (device policy, system call filter,
# capabilities) lets the exporter reach the NVMe controllers, and no other
# device. A controller the exporter cannot open or identify would be on the
# page as ebs_scrape_success 0; QEMU's controllers, once identified, are
# another vendor's and are left out. So the page must hold no device at all,
# while the guest has three controllers. A pre-start command added to the
# unit by a drop-in runs inside the same sandbox and tries the devices the
# unit must not reach.
#
# Usage: systemd_unit.sh SOURCE_DIR WORK_DIR PACKAGES_DIR MAKE_ROOT KERNEL_DIR
# PACKAGES_DIR holds the built .deb files (make packages); MAKE_ROOT is
# tests/roots/make-root.sh; KERNEL_DIR is where tests/kernel/run.sh keeps
# Debian's kernel and its NVMe modules (it is fetched there once).
# Exit status 0 passed, 1 failed, 77 skipped (not root, no QEMU, no
# packages, no kernel, no Debian root).
set -euo pipefail

source_dir=$(cd "$1" && pwd)
work=$2
packages=$3
make_root=$4
kernel_dir=$5
mkdir -p "$work"
work=$(cd "$work" && pwd)

. "$(dirname "$0")/../lib.sh"

[ "$(id -u)" -eq 0 ] || skip "not root (debootstrap, chroot)"
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64 (qemu-system-x86)"
command -v cpio >/dev/null || skip "no cpio"
debs=$(ls "$packages"/volscan_*_amd64.deb "$packages"/volscan-exporter_*_amd64.deb 2>/dev/null) \
    || skip "no volscan and volscan-exporter packages in $packages (make packages)"
[ -f "$kernel_dir/release" ] || skip "no kernel in $kernel_dir (tests/kernel/run.sh fetches it)"
release=$(cat "$kernel_dir/release")
kernel=$kernel_dir/vmlinux
[ -f "$kernel" ] || kernel=$kernel_dir/vmlinuz

# The root: minbase with systemd as init, udev, curl, and the libraries the
# exporter's package depends on (dpkg -i installs no dependency).
base=$(sh "$make_root" bookworm \
    --include=systemd,systemd-sysv,udev,kmod,curl,libmicrohttpd12,libyaml-0-2) \
    || skip "no Debian root"

# --- The guest's root, all of it in the initramfs ------------------------------

guest=$work/root
rm -rf "$guest"
mkdir -p "$guest"
# What the guest needs from the root: not the compilers, headers and manuals.
tar -C "$base" --exclude=./usr/lib/gcc --exclude=./usr/libexec/gcc --exclude=./usr/include \
    --exclude='./usr/share/cmake*' --exclude=./usr/share/doc --exclude=./usr/share/man \
    --exclude=./usr/share/locale --exclude=./usr/share/info --exclude='./usr/lib/x86_64-linux-gnu/perl*' \
    --exclude=./var/cache/apt --exclude=./var/lib/apt/lists -cf - . | tar -C "$guest" -xf -
mkdir -p "$guest/lib/modules/volscan" "$guest/root/debs"
while read -r module; do
    cp "$kernel_dir/modules/$module" "$guest/lib/modules/volscan/"
done <"$kernel_dir/modules/order"
cp "$kernel_dir/modules/order" "$guest/lib/modules/volscan/order"
# shellcheck disable=SC2086 # one word per file
cp $debs "$guest/root/debs/"
echo volscan-guest >"$guest/etc/hostname"
# No password for root, no getty: the guest is driven by the check below.
ln -sf /dev/null "$guest/etc/systemd/system/getty.target"
ln -sf /dev/null "$guest/etc/systemd/system/serial-getty@.service"

# The kernel starts /init: the NVMe driver, then systemd.
cat >"$guest/init" <<'EOF'
#!/bin/sh
while read -r module; do
    /sbin/insmod "/lib/modules/volscan/$module"
done </lib/modules/volscan/order
exec /lib/systemd/systemd
EOF
chmod 0755 "$guest/init"

# Tries the devices the unit must not reach, from inside its sandbox: it
# runs before the exporter, with the same settings, and writes to the journal.
mkdir -p "$guest/etc/systemd/system/volscan-exporter.service.d"
cat >"$guest/etc/systemd/system/volscan-exporter.service.d/probe.conf" <<'EOF'
[Service]
ExecStartPre=/bin/sh -c 'for node in /dev/nvme0n1 /dev/ng0n1 /dev/ttyS1 /dev/mem; do error=$$( (exec 3<$$node) 2>&1 ) && echo "probe: read $$node" || echo "probe: refused $$node: $${error##*: }"; done; error=$$( (exec 3<>/dev/nvme0) 2>&1 ) && echo "probe: write /dev/nvme0" || echo "probe: refused write /dev/nvme0: $${error##*: }"'
EOF

# The check, once the system is up: install, start, scrape, report, power off.
cat >"$guest/usr/local/sbin/volscan-check" <<'EOF'
#!/bin/sh
exec >/dev/ttyS1 2>&1
echo "BEGIN"
udevadm settle --timeout=30
echo "controllers: $(cd /dev && ls -d nvme[0-9] | tr '\n' ' ')"
if dpkg -i /root/debs/*.deb >/root/dpkg.log 2>&1; then echo "dpkg: 0"; else echo "dpkg: failed"; cat /root/dpkg.log; fi
echo "enabled: $(systemctl is-enabled volscan-exporter 2>&1)"
echo "user: $(getent passwd volscan-exporter | cut -d: -f1,6,7)"
echo "uid: $(id -u volscan-exporter)"
timeout 60 systemctl start volscan-exporter
echo "start: $?"
code=000
tries=0
while [ "$code" = 000 ] && [ $tries -lt 60 ]; do
    code=$(curl -s -m 20 -o /root/page -w '%{http_code}' http://127.0.0.1:9720/metrics)
    tries=$((tries + 1))
    [ "$code" = 000 ] && sleep 1
done
echo "scrape: $code"
# The volumes and disks found are counted apart: QEMU's controllers are neither.
echo "found: $(grep -E '^ebs_(volumes|instance_storage_disks) ' /root/page | tr '\n' ' ')"
echo "series: $(grep -v '^#' /root/page | grep -vcE '^ebs_(volumes|instance_storage_disks) ')"
echo "types: $(grep -c '^# TYPE ' /root/page)"
echo "active: $(systemctl is-active volscan-exporter)"
# The control: the same program outside the unit, once with the NVMe nodes
# closed to it, and once as the unit allows them. The first must show every
# controller as failed, or "series: 0" above proves nothing.
# (A unit file of its own: systemd-run would want D-Bus, which the guest has not.)
for allow in "" "char-nvme r"; do
    rm -f /tmp/control.prom
    printf '%s\n' "[Service]" "Type=oneshot" "DevicePolicy=closed" "DeviceAllow=$allow" \
        "ExecStart=/usr/bin/volscan-exporter --textfile.output=/tmp/control.prom" \
        >/run/systemd/system/volscan-control.service
    systemctl daemon-reload
    timeout 60 systemctl start volscan-control
    echo "control ${allow:-closed}: $(grep '^ebs_scrape_success{' /tmp/control.prom | tr '\n' ' ')"
done
for pid in $(cat /sys/fs/cgroup/system.slice/volscan-exporter.service/cgroup.procs); do
    echo "process: $(grep -E '^(Uid|CapEff|NoNewPrivs|Seccomp):' /proc/$pid/status | tr -s '\t\n' '  ')"
done
journalctl -b -u volscan-exporter -o cat --no-pager | sed -n 's/^probe: /probe: /p'
echo "JOURNAL"
journalctl -b -u volscan-exporter -o cat --no-pager
echo "END"
systemctl poweroff --force --force
EOF
chmod 0755 "$guest/usr/local/sbin/volscan-check"
cat >"$guest/etc/systemd/system/volscan-check.service" <<'EOF'
[Unit]
Description=The volscan-exporter check
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/usr/local/sbin/volscan-check
[Install]
WantedBy=multi-user.target
EOF
ln -sf /etc/systemd/system/volscan-check.service \
    "$guest/etc/systemd/system/multi-user.target.wants/volscan-check.service"

(cd "$guest" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
rm -rf "$guest"
echo "initramfs: $(($(stat -c %s "$work/initramfs.cpio") / 1048576)) MiB, kernel $release"

# --- Boot ---------------------------------------------------------------------

console=$work/console.log
results=$work/results.log
rm -f "$console" "$results"
started=$(date +%s)
set +e
# shellcheck disable=SC2054 # the commas belong to QEMU's options
timeout 400 qemu-system-x86_64 -accel tcg -nodefaults -no-user-config -display none -no-reboot \
    -m 2048M -smp 2 -kernel "$kernel" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 quiet systemd.show_status=0" \
    -serial "file:$console" -serial "file:$results" \
    -blockdev driver=null-co,node-name=disk0,size=16777216,read-zeroes=on \
    -blockdev driver=null-co,node-name=disk1,size=16777216,read-zeroes=on \
    -blockdev driver=null-co,node-name=disk2,size=16777216,read-zeroes=on \
    -device nvme,serial=vs-unit-0,drive=disk0 -device nvme,serial=vs-unit-1,drive=disk1 \
    -device nvme,serial=vs-unit-2,drive=disk2 2>"$work/qemu.log"
qemu_status=$?
set -e
echo "guest ran $(($(date +%s) - started)) s"
rm -f "$work/initramfs.cpio"
[ "$qemu_status" -ne 124 ] || { tail -n 30 "$console"; fail "the guest did not finish within 400 s"; }
tr -d '\r' <"$results" >"$results.lf" 2>/dev/null || :
grep -qx END "$results.lf" || { tail -n 40 "$console"; fail "the guest sent no whole report"; }

# --- Compare ------------------------------------------------------------------

report=$(sed -n '/^BEGIN$/,/^JOURNAL$/p' "$results.lf" | sed '1d;$d')
# Every process of the service: no capability beyond CAP_SYS_ADMIN (bit 21),
# no new privileges, a system call filter. There are two: the device side,
# root, and the side that serves HTTP, the package's own user (made by the
# postinst with systemd-sysusers) with no capability at all.
processes=$(grep -c '^process: ' <<<"$report" || true)
[ "$processes" -eq 2 ] || fail "the service should run two processes: $report"
[ "$(grep -c '^process: Uid: 0 ' <<<"$report" || true)" -eq 1 ] \
    || fail "one process of the service, the device side, should be root: $report"
uid=$(sed -n 's/^uid: \([0-9]\{1,\}\)$/\1/p' <<<"$report")
if [ -z "$uid" ] || [ "$uid" -ge 1000 ] || [ "$uid" -eq 0 ]; then
    fail "the package made no system user volscan-exporter: $report"
fi
[ "$(grep -c "^process: Uid: $uid $uid $uid $uid " <<<"$report" || true)" -eq 1 ] \
    || fail "the metrics side should be volscan-exporter ($uid): $report"
while read -r line; do
    capabilities=$(sed -n 's/.*CapEff: \([0-9a-f]*\).*/\1/p' <<<"$line")
    [ $((16#$capabilities & ~(1 << 21))) -eq 0 ] || fail "a process holds more than CAP_SYS_ADMIN: $line"
    [[ $line == *"Uid: 0 "* || $((16#$capabilities)) -eq 0 ]] \
        || fail "the metrics side holds a capability: $line"
    [[ $line == *"NoNewPrivs: 1"* ]] || fail "a process may gain privileges: $line"
    [[ $line == *"Seccomp: 2"* ]] || fail "a process has no system call filter: $line"
done < <(grep '^process: ' <<<"$report")
# The package installs the unit without enabling it; the page holds the
# metrics' descriptions, no volume and not one series of one.
want="controllers: nvme0 nvme1 nvme2 
dpkg: 0
enabled: disabled
user: volscan-exporter:/nonexistent:/usr/sbin/nologin
start: 0
scrape: 200
found: ebs_volumes 0 ebs_instance_storage_disks 0 
series: 0
active: active
control closed: ebs_scrape_success{device=\"nvme0n1\"} 0 ebs_scrape_success{device=\"nvme1n1\"} 0 ebs_scrape_success{device=\"nvme2n1\"} 0 
control char-nvme r: "
got=$(grep -v -e '^process: ' -e '^probe: ' -e '^types: ' -e '^uid: ' <<<"$report")
# The namespaces' block nodes, the generic (I/O passthrough) nodes, other
# character devices, and writing to the controller are refused: by the device
# policy ("Operation not permitted") as root, or sooner by the nodes' modes
# for a unit that runs as another user.
want_probes="probe: refused /dev/nvme0n1
probe: refused /dev/ng0n1
probe: refused /dev/ttyS1
probe: refused /dev/mem
probe: refused write /dev/nvme0"
got_probes=$(grep '^probe: ' <<<"$report" | sed 's/: \(Operation not permitted\|Permission denied\)$//' || true)
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
check "install, start and scrape" "$want" "$got"
check "devices outside the policy" "$want_probes" "$got_probes"
echo "ok   $processes process(es): no capability but CAP_SYS_ADMIN, no new privileges, a system call filter"
if [ "$failed" -ne 0 ]; then
    echo "the service's journal:"
    sed -n '/^JOURNAL$/,/^END$/p' "$results.lf" | sed '1d;$d;s/^/    | /'
    exit 1
fi
