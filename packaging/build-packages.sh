#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds the Debian packages and the RPMs of volscan and volscan-exporter
# from one staged install (cmake --install with DESTDIR, prefix /usr): the
# packages carry whatever the install rules stage, so that a file they come
# to install comes along with no change here. The install component exporter
# decides which package a file goes into. The version is the CMake project
# version.
#
#   build-packages.sh SOURCE_DIR BUILD_DIR OUT_DIR
#
# Needs cmake, a C++ compiler, dpkg-dev for the .deb, and rpmbuild (Debian
# package rpm) for the .rpm.
set -eu
umask 022

source=$(cd "$1" && pwd)
build=$2
out=$3
jobs=${JOBS:-2}

# Who answers for the packages, and the terms they are under: one place.
maintainer="volscan maintainers <maintainers@users.noreply.c-seed-1e8a8ff0.example>"
# The license's text is the LICENSE file of the source tree; Debian's
# copyright file gives it in full (BSD-2-Clause is not among the licenses
# Debian keeps in /usr/share/common-licenses).
license_name="BSD-2-Clause"
copyright_holder="2026 The volscan developers"
volscan_summary="identity and performance statistics of EC2 NVMe volumes"
volscan_description="volscan reads the identity of the EBS volumes and instance-storage disks
of an EC2 instance (volume ID, the block-device name given at attachment,
model, serial number) and the detailed performance statistics of EBS
volumes (cumulative counters and read and write latency histograms), as
text tables or JSON, once or at an interval. Its udev rules give every
EBS volume stable names under /dev/ebs/by-name and /dev/ebs/by-volume-id."
exporter_summary="Prometheus exporter of the statistics of EC2 NVMe volumes"
exporter_description="volscan-exporter serves the detailed performance statistics of every EBS
volume of an EC2 instance (cumulative counters and read and write latency
histograms) and the identity of its NVMe disks in the Prometheus text
format, over HTTP or as a text file for node_exporter's collector. Its
systemd unit is installed disabled: enable it with systemctl enable --now."

# Debian's hardening flags; CMake takes CPPFLAGS from nowhere, so they join
# the compiler flags.
if command -v dpkg-buildflags >/dev/null; then
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    CFLAGS="${CPPFLAGS-} ${CFLAGS-}"
    CXXFLAGS="${CPPFLAGS-} ${CXXFLAGS-}"
    export CFLAGS CXXFLAGS
fi
rm -rf "$build"
mkdir -p "$build"
build=$(cd "$build" && pwd)
cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DVOLSCAN_UDEV_RULES_DIR=/usr/lib/udev/rules.d -DVOLSCAN_TESTS=OFF >"$build.log" 2>&1 \
    || { cat "$build.log"; exit 1; }
cmake --build "$build" -j "$jobs" >>"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $build/CMakeCache.txt" >&2; exit 1; }

# stage_install DIR [ARGUMENT...]: what cmake --install (with ARGUMENTs)
# puts under DIR, manual pages compressed as both systems keep them; a link
# to a page becomes a link to the compressed page.
stage_install() {
    dir=$1
    mkdir -p "$dir"
    shift
    DESTDIR=$dir cmake --install "$build" --strip "$@" >>"$build.log" 2>&1 \
        || { cat "$build.log"; exit 1; }
    [ -d "$dir/usr/share/man" ] || return 0
    find "$dir/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} +
    find "$dir/usr/share/man" -type l -name '*.[0-9]' | while read -r link; do
        target=$(readlink "$link")
        rm "$link"
        ln -s "$target.gz" "$link.gz"
    done
}
# Two packages from one staged install: volscan-exporter holds what the
# install component exporter stages (where the exporter was built), volscan
# all the rest, so that volscan does not depend on the exporter's library.
stage=$build/stage
stage_install "$stage"
stage_install "$build/stage-exporter" --component exporter
mkdir -p "$build/pkg/volscan" "$build/pkg/volscan-exporter"
cp -a "$stage" "$build/pkg/volscan/tree"
cp -a "$build/stage-exporter" "$build/pkg/volscan-exporter/tree"
(cd "$build/stage-exporter" && find . ! -type d) | (cd "$build/pkg/volscan/tree" && xargs rm -f)
find "$build/pkg/volscan/tree" -mindepth 1 -depth -type d -empty -delete
mkdir -p "$out"
out=$(cd "$out" && pwd)
# The packages' date: the last commit's, or in a release tarball (no git)
# that of its files, which git archive sets to the commit's.
date=$(date -R -d "@${SOURCE_DATE_EPOCH:-$(git -C "$source" log -1 --format=%ct 2>/dev/null \
    || stat -c %Y "$source/CMakeLists.txt")}")

# The packages' scripts. volscan: udev takes the rules and names the volumes
# at once on install, and drops the names on removal.
udev_refresh="volscan_udev_refresh() {
$(sed '/^#/d' "$source/naming/udev-refresh.sh")
}"
# Services (systemd units in a package, such as the exporter's) are shipped
# disabled: nothing enables or starts them; the user does, with systemctl
# enable --now. Removal stops them and purge drops the links that enabling
# made. package_services TREE sets the scripts' parts for the units of TREE.
systemd_reload='if [ -d /run/systemd/system ]; then systemctl daemon-reload || :; fi'
package_services() {
    units=$(cd "$1" && find usr/lib/systemd/system lib/systemd/system -type f 2>/dev/null \
        | sed 's|.*/||' | sort | tr '\n' ' ')
    units=${units% }
    services_installed=
    services_removing=
    services_removed=
    services_purged=
    [ -n "$units" ] || return 0
    services_installed=$systemd_reload
    services_removing="if [ -d /run/systemd/system ]; then systemctl stop $units || :; fi"
    services_removed=$systemd_reload
    services_purged="for unit in $units; do
	find /etc/systemd/system -type l -name \"\$unit\" -exec rm -f {} + 2>/dev/null || :
done"
}

# System users (sysusers.d files in a package, such as the user the
# exporter's metrics side becomes) are made before anything can run as them:
# by systemd-sysusers from the package's own file where it is there, which
# is what systemd does at boot, and otherwise by useradd from the file's
# "u NAME - "COMMENT" HOME" lines. They stay on removal and purge, as
# Debian and Fedora keep system users, so that no file is left to a
# number that a later user may get. package_users TREE sets users_debian
# (for the postinst, with the files in place) and users_rpm (for %pre,
# before they are; the RPM then needs shadow-utils first, for useradd on a
# system without systemd-sysusers).
package_users() {
    users_debian=
    users_rpm=
    confs=$(cd "$1" && find usr/lib/sysusers.d -type f -name '*.conf' 2>/dev/null | LC_ALL=C sort)
    [ -n "$confs" ] || return 0
    fallback=$(for conf in $confs; do
        sed -n 's/^u[[:space:]]\{1,\}\([^[:space:]]\{1,\}\)[[:space:]]\{1,\}-[[:space:]]\{1,\}"\([^"]*\)"[[:space:]]\{1,\}\([^[:space:]]\{1,\}\)[[:space:]]*$/\1 \3 \2/p' \
            "$1/$conf"
    done | while read -r user home comment; do
        printf '%s\n' "	if ! getent passwd $user >/dev/null; then" \
            "		getent group $user >/dev/null || groupadd --system $user" \
            "		useradd --system --gid $user --home-dir $home --no-create-home --shell /usr/sbin/nologin --comment '$comment' $user" \
            "	fi"
    done)
    names=$(for conf in $confs; do basename "$conf"; done | tr '\n' ' ')
    # shellcheck disable=SC2016 # DPKG_ROOT is the script's own
    users_debian="if command -v systemd-sysusers >/dev/null 2>&1; then
	systemd-sysusers \${DPKG_ROOT:+--root=\"\$DPKG_ROOT\"} ${names% }
else
$fallback
fi"
    sysusers=$(for conf in $confs; do
        printf '%s\n' "	systemd-sysusers --replace=/$conf - <<'EOF'"
        grep -v -e '^#' -e '^[[:space:]]*$' "$1/$conf"
        echo "EOF"
    done)
    users_rpm="if command -v systemd-sysusers >/dev/null 2>&1; then
$sysusers
else
$fallback
fi"
}

# when CONDITION PART...: the PARTs that are not empty, run if CONDITION
# holds; nothing if all are empty.
when() {
    condition=$1
    shift
    body=$(for part in "$@"; do [ -z "$part" ] || printf '%s\n' "$part"; done)
    [ -z "$body" ] || printf 'if %s; then\n%s\nfi\n' "$condition" "$body"
}

# What sets one package apart: its name, summary, description, and the
# scripts' parts (prelude: definitions; on_install, on_removed: commands).
set_package() {
    name=$1
    tree=$build/pkg/$name/tree
    prelude="" on_install="" on_removed="" recommends=""
    case $name in
    volscan)
        summary=$volscan_summary
        description=$volscan_description
        recommends=udev
        prelude=$udev_refresh on_install=volscan_udev_refresh on_removed=volscan_udev_refresh
        ;;
    volscan-exporter)
        summary=$exporter_summary
        description=$exporter_description
        ;;
    esac
    package_services "$tree"
    package_users "$tree"
}

# --- Debian
arch=${DEB_HOST_ARCH:-$(dpkg --print-architecture)}
# dpkg-shlibdeps wants a Debian source tree around it.
mkdir -p "$build/shlibdeps/debian"
: >"$build/shlibdeps/debian/control"
# maintainer_script FILE BODY: FILE runs BODY, after the prelude; no FILE if
# BODY is empty.
maintainer_script() {
    [ -n "$2" ] || return 0
    printf '%s\n' "#!/bin/sh" "set -e" >"$1"
    [ -z "$prelude" ] || printf '%s\n' "$prelude" >>"$1"
    printf '%s\n' "$2" >>"$1"
    chmod 0755 "$1"
}
build_deb() {
    set_package "$1"
    deb=$build/pkg/$name/deb
    rm -rf "$deb"
    cp -a "$tree" "$deb"
    doc=$deb/usr/share/doc/$name
    mkdir -p "$doc" "$deb/DEBIAN"
    printf '%s\n' "$name ($version) unstable; urgency=medium" "" "  * Release $version." "" \
        " -- $maintainer  $date" | gzip -9n >"$doc/changelog.gz"
    {
        echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
        echo "Upstream-Name: volscan"
        echo ""
        echo "Files: *"
        echo "Copyright: $copyright_holder"
        echo "License: $license_name"
        echo ""
        echo "License: $license_name"
        # The license's terms, without its title and copyright line (the
        # paragraph above holds those); an empty line is " ." in this format.
        sed '1,/^All rights reserved\.$/d' "$source/LICENSE" | sed '1{/^$/d}' \
            | sed 's/^$/./; s/^/ /'
    } >"$doc/copyright"
    elf=$(find "$deb" -type f -perm -u+x | while read -r file; do
        [ "$(head -c 4 "$file" | tr -d '\177')" != ELF ] || echo "$file"
    done)
    depends=
    if [ -n "$elf" ]; then
        # shellcheck disable=SC2086 # one file name a word
        depends=$(cd "$build/shlibdeps" && dpkg-shlibdeps -O $elf | sed -n 's/^shlibs:Depends=//p')
    fi
    {
        echo "Package: $name"
        echo "Version: $version"
        echo "Architecture: $arch"
        echo "Maintainer: $maintainer"
        echo "Installed-Size: $(du -sk --exclude=DEBIAN "$deb" | cut -f1)"
        [ -z "$depends" ] || echo "Depends: $depends"
        [ -z "$recommends" ] || echo "Recommends: $recommends"
        echo "Section: admin"
        echo "Priority: optional"
        echo "Description: $summary"
        printf '%s\n' "$description" | sed 's/^/ /'
    } >"$deb/DEBIAN/control"
    (cd "$deb" && find . -type f ! -path './DEBIAN/*' | sed 's|^\./||' | LC_ALL=C sort \
        | xargs md5sum) >"$deb/DEBIAN/md5sums"
    chmod 0644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
    # shellcheck disable=SC2016 # the script's own $1
    maintainer_script "$deb/DEBIAN/postinst" \
        "$(when '[ "$1" = configure ]' "$users_debian" "$on_install" "$services_installed")"
    # shellcheck disable=SC2016 # the script's own $1
    maintainer_script "$deb/DEBIAN/prerm" "$(when '[ "$1" = remove ]' "$services_removing")"
    # shellcheck disable=SC2016 # the script's own $1
    maintainer_script "$deb/DEBIAN/postrm" "$(when '[ "$1" = remove ]' "$on_removed" "$services_removed"
        when '[ "$1" = purge ]' "$services_purged")"
    dpkg-deb --root-owner-group -Zxz --build "$deb" "$out/${name}_${version}_$arch.deb" >/dev/null
    echo "$out/${name}_${version}_$arch.deb"
}

# --- RPM, for Amazon Linux 2023, Fedora and RHEL
# rpm_script SECTION BODY: the rpmbuild input's SECTION running BODY after the
# prelude; nothing if BODY is empty.
rpm_script() {
    [ -n "$2" ] || return 0
    printf '\n%s\n' "$1"
    [ -z "$prelude" ] || printf '%s\n' "$prelude"
    printf '%s\n' "$2"
}
build_rpm() {
    set_package "$1"
    rpm=$build/pkg/$name/rpm
    rm -rf "$rpm"
    mkdir -p "$rpm/license"
    cp "$source/LICENSE" "$rpm/license/LICENSE"
    (cd "$tree" && find . ! -type d | sed 's|^\.||' | LC_ALL=C sort | sed 's|.*|"&"|') >"$rpm/files"
    rpm_summary=$(printf '%s' "$summary" | cut -c1 | tr '[:lower:]' '[:upper:]')${summary#?}
    {
        cat <<EOF
Name: $name
Version: $version
Release: 1%{?dist}
Summary: $rpm_summary
License: $license_name
Group: Applications/System
Packager: $maintainer
$([ -z "$users_rpm" ] || echo "Requires(pre): shadow-utils")

%description
$description

%prep

%build

%install
cp -a "$tree/." "%{buildroot}/"
mkdir -p "%{buildroot}%{_licensedir}/$name"
cp "$rpm/license/LICENSE" "%{buildroot}%{_licensedir}/$name/LICENSE"
EOF
        rpm_script %pre "$users_rpm"
        rpm_script %post "$(printf '%s\n' "$on_install" "$services_installed" | sed '/^$/d')"
        # shellcheck disable=SC2016 # the script's own $1
        rpm_script %preun "$(when '[ $1 -eq 0 ]' "$services_removing")"
        # shellcheck disable=SC2016 # the script's own $1
        rpm_script %postun "$(when '[ $1 -eq 0 ]' "$on_removed" "$services_removed" \
            "$services_purged")"
        cat <<EOF

%files -f $rpm/files
%license %{_licensedir}/$name/LICENSE

%changelog
* $(LC_ALL=C date -d "${date}" '+%a %b %d %Y') $maintainer - $version-1
- Release $version.
EOF
    } >"$rpm/$name.rpmbuild"
    rpmbuild -bb --quiet --define "_topdir $rpm/top" --define "_rpmdir $out" \
        --define '_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm' \
        --define '__os_install_post %{nil}' --define 'debug_package %{nil}' \
        "$rpm/$name.rpmbuild" >>"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
    ls "$out/$name-$version"-1.*.rpm
}

# volscan-exporter where the exporter was built.
packages=volscan
[ -z "$(ls -A "$build/pkg/volscan-exporter/tree")" ] || packages="$packages volscan-exporter"
for package in $packages; do
    build_deb "$package"
    build_rpm "$package"
done
