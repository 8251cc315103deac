#!/bin/busybox sh
# SPDX-License-Identifier: BSD-2-Clause
# /init of the test guest. Loads the NVMe driver from the modules listed in
# /modules, runs every case of /cases and sends one line per case to the
# second serial port, then powers off.
#
# A case line is "name|user|prep|command": prep runs as root first, then the
# command runs as user with no input; each case starts from the nodes as the
# kernel made them (mode 0600, none moved away).
# A result line is "CASE name status stdout stderr", the two outputs in base64
# ("-" when empty) so that the host compares them byte for byte; the last line
# is "END".
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1

# Controllers take numbers as they are bound, and a subsystem takes the number
# of the first of its controllers to reach it: bind them one at a time, each
# once the one before has its nodes, so that the names never change.
echo 0 >/sys/bus/pci/drivers_autoprobe
# Options such as nvme_core.multipath=Y on the kernel's command line reach a
# module only through its loader, as modprobe would pass them.
while read -r module; do
    name=$(echo "${module%.ko}" | tr - _)
    options=
    read -r cmdline </proc/cmdline
    for word in $cmdline; do
        case $word in
            "$name".*) options="$options ${word#"$name".}" ;;
        esac
    done
    # shellcheck disable=SC2086 # one word per option
    insmod "/lib/modules/$module" $options || echo "init: insmod $module failed"
done </modules

# bind PCI-ADDRESS PATH...: waits a few seconds at most for the paths.
bind() {
    address=$1
    shift
    [ -e "/sys/bus/pci/devices/$address/driver" ] \
        || echo "$address" >/sys/bus/pci/drivers/nvme/bind \
        || echo "init: cannot bind $address"
    tries=0
    for path in "$@"; do
        while [ ! -e "$path" ] && [ "$tries" -lt 100 ]; do
            usleep 50000
            tries=$((tries + 1))
        done
    done
}
bind 0000:00:04.0 /dev/nvme0 /dev/nvme0n1 /dev/ng0n1
bind 0000:00:05.0 /dev/nvme1 /dev/nvme1n1 /dev/ng1n1 /sys/class/block/nvme1c1n1
bind 0000:00:06.0 /dev/nvme2 /sys/class/block/nvme1c2n1

mkdir -p /dev/disk/by-id
ln -s ../../nvme0n1 /dev/disk/by-id/nvme-test
echo 'nobody:x:65534:65534:nobody:/:/bin/sh' >/etc/passwd
echo 'nobody:x:65534:' >/etc/group
mkdir -p /tmp

restore_nodes() {
    for away in /dev/*.away; do
        [ -e "$away" ] && mv "$away" "${away%.away}"
    done
    chmod 0600 /dev/nvme[0-9]* /dev/ng[0-9]*
}

# What the cases rely on: the driver's options, which controller is which and
# where each disk's sysfs "device" link leads.
topology() {
    echo "multipath: $(cat /sys/module/nvme_core/parameters/multipath)"
    for controller in /sys/class/nvme/nvme*; do
        # shellcheck disable=SC2046 # the serial number is padded with spaces
        echo "${controller##*/}:" $(cat "$controller/address" "$controller/serial")
    done
    for disk in /sys/class/block/nvme* /sys/class/nvme-generic/ng*; do
        echo "${disk##*/} -> $(readlink "$disk/device")"
    done
    echo "nodes: $(cd /dev && echo nvme* ng*)"
}

encode() {
    if [ -s "$1" ]; then base64 -w0 <"$1"; else printf -- -; fi
}

results=/tmp/results
: >"$results"
while IFS='|' read -r name user prep command; do
    restore_nodes
    if ! sh -c "$prep" </dev/null >/tmp/prep 2>&1; then
        echo "init: preparation of $name failed: $(cat /tmp/prep)"
        echo "CASE $name prep-failed - -" >>"$results"
        continue
    fi
    if [ "$user" = root ]; then
        (eval "$command") </dev/null >/tmp/out 2>/tmp/err
    else
        su -s /bin/sh "$user" -c "exec $command" </dev/null >/tmp/out 2>/tmp/err
    fi
    status=$?
    echo "CASE $name $status $(encode /tmp/out) $(encode /tmp/err)" >>"$results"
done </cases
restore_nodes
echo END >>"$results"

# cat's close waits until the port has sent everything. The port is the
# second serial port unless the kernel's command line names another.
cat "$results" >"/dev/${results_port:-ttyS1}"
poweroff -f
