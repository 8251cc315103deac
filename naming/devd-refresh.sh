# SPDX-License-Identifier: BSD-2-Clause
# FreeBSD: after an install, links for the EBS volumes attached now, and a
# word that devd reads the new configuration only once restarted; before an
# uninstall, the links go. "make install" and "make uninstall" run it as
#   sh devd-refresh.sh CREATE-ALL|DESTROY-ALL LINKS_SCRIPT [DESTDIR]
# As another user than root, or into a DESTDIR, it only says what to run.
if [ "$1" = CREATE-ALL ]; then
	if [ -n "${3-}" ] || [ "$(id -u)" -ne 0 ]; then
		echo "volscan: once installed, as root: service devd restart && $2 CREATE-ALL"
	else
		sh "$2" CREATE-ALL || :
		echo "volscan: for devd to read the new rules, as root: service devd restart"
	fi
elif [ -z "${3-}" ] && [ "$(id -u)" -eq 0 ]; then
	sh "$2" DESTROY-ALL || :
fi
