# SPDX-License-Identifier: BSD-2-Clause
# Makes a running udev read its rules again and apply them to the NVMe disks
# attached now, so that the names under /dev/ebs come, or after a removal go,
# at once instead of at the next boot. "make install", "make uninstall" and
# the packages' scripts run it as
#   sh udev-refresh.sh [DESTDIR]
# Where it cannot do that itself (a staged install, not root, no udev
# running, as in a chroot or a container) it says what to run, and fails
# never: an install does not depend on it.
volscan_udevadm=$(command -v udevadm || :)
volscan_udev_how="udevadm control --reload && udevadm trigger --action=change --subsystem-match=block --sysname-match='nvme*'"
if [ -n "${1-}" ]; then
	echo "volscan: staged in $1; once installed, have udev name the EBS volumes attached now, as root: $volscan_udev_how"
elif [ "$(id -u)" -ne 0 ]; then
	echo "volscan: not root; have udev name the EBS volumes attached now, as root: $volscan_udev_how"
elif [ ! -S /run/udev/control ] || [ -z "$volscan_udevadm" ]; then
	echo "volscan: udev is not running here; it names the EBS volumes when it starts"
else
	udevadm control --reload || :
	udevadm trigger --action=change --subsystem-match=block --sysname-match='nvme*' || :
	udevadm settle --timeout=30 || :
fi
