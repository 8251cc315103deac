#!/bin/sh
# Builds the Debian package and the RPM of volscan from one staged install
# (cmake --install with DESTDIR, prefix /usr): the packages carry whatever
# the install rules stage, so that a file they come to install comes along
# with no change here. The version is the CMake project version.
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
license_name="LicenseRef-volscan-unstated"
license_text="The copyright holders have not yet chosen the terms under which volscan
may be copied; until they do, all rights are reserved."
summary="identity and performance statistics of EC2 NVMe volumes"
description="volscan reads the identity of the EBS volumes and instance-storage disks
of an EC2 instance (volume ID, the block-device name given at attachment,
model, serial number) and the detailed performance statistics of EBS
volumes (cumulative counters and read and write latency histograms), as
text tables or JSON, once or at an interval. Its udev rules give every
EBS volume stable names under /dev/ebs/by-name and /dev/ebs/by-volume-id."

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

stage=$build/stage
DESTDIR=$stage cmake --install "$build" --strip >>"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
# Manual pages compressed, as both systems keep them; a link to a page
# becomes a link to the compressed page.
find "$stage/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} +
find "$stage/usr/share/man" -type l -name '*.[0-9]' | while read -r link; do
    target=$(readlink "$link")
    rm "$link"
    ln -s "$target.gz" "$link.gz"
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

# The packages' scripts: udev takes the rules and names the volumes at once
# on install, and drops the names on removal.
udev_refresh="volscan_udev_refresh() {
$(sed '/^#/d' "$source/naming/udev-refresh.sh")
}"
# Services (systemd units the install stages, such as the exporter's) are
# shipped disabled: nothing enables or starts them; the user does, with
# systemctl enable --now. Removal stops them and purge drops the links that
# enabling made.
units=$(cd "$stage" && find usr/lib/systemd/system lib/systemd/system -type f 2>/dev/null \
    | sed 's|.*/||' | sort | tr '\n' ' ')
units=${units% }
systemd_reload='if [ -d /run/systemd/system ]; then systemctl daemon-reload || :; fi'
if [ -n "$units" ]; then
    services_installed=$systemd_reload
    services_removing="if [ -d /run/systemd/system ]; then systemctl stop $units || :; fi"
    services_removed="$systemd_reload
for unit in $units; do
	find /etc/systemd/system -type l -name \"\$unit\" -exec rm -f {} + 2>/dev/null || :
done"
else
    services_installed=:
    services_removing=:
    services_removed=:
fi

# --- Debian
deb=$build/deb
cp -a "$stage" "$deb"
doc=$deb/usr/share/doc/volscan
mkdir -p "$doc" "$deb/DEBIAN"
date=$(date -R -d "@${SOURCE_DATE_EPOCH:-$(git -C "$source" log -1 --format=%ct 2>/dev/null || date +%s)}")
printf '%s\n' "volscan ($version) unstable; urgency=medium" "" "  * Release $version." "" \
    " -- $maintainer  $date" | gzip -9n >"$doc/changelog.gz"
{
    echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    echo "Upstream-Name: volscan"
    echo ""
    echo "Files: *"
    echo "Copyright: $(date -d "$date" +%Y) the volscan maintainers"
    echo "License: $license_name"
    printf '%s\n' "$license_text" | sed 's/^/ /'
} >"$doc/copyright"
arch=${DEB_HOST_ARCH:-$(dpkg --print-architecture)}
# dpkg-shlibdeps wants a Debian source tree around it.
mkdir -p "$build/shlibdeps/debian"
: >"$build/shlibdeps/debian/control"
elf=$(find "$deb" -type f -perm -u+x | while read -r file; do
    [ "$(head -c 4 "$file" | tr -d '\177')" != ELF ] || echo "$file"
done)
# shellcheck disable=SC2086 # one file name a word
depends=$(cd "$build/shlibdeps" && dpkg-shlibdeps -O $elf | sed -n 's/^shlibs:Depends=//p')
{
    echo "Package: volscan"
    echo "Version: $version"
    echo "Architecture: $arch"
    echo "Maintainer: $maintainer"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$deb" | cut -f1)"
    [ -z "$depends" ] || echo "Depends: $depends"
    echo "Recommends: udev"
    echo "Section: admin"
    echo "Priority: optional"
    echo "Description: $summary"
    printf '%s\n' "$description" | sed 's/^/ /'
} >"$deb/DEBIAN/control"
(cd "$deb" && find . -type f ! -path './DEBIAN/*' | sed 's|^\./||' | LC_ALL=C sort \
    | xargs md5sum) >"$deb/DEBIAN/md5sums"
# shellcheck disable=SC2016 # the script's own $1
{
    echo "#!/bin/sh"
    echo "set -e"
    echo "$udev_refresh"
    echo 'if [ "$1" = configure ]; then'
    echo "	volscan_udev_refresh"
    echo "$services_installed"
    echo "fi"
} >"$deb/DEBIAN/postinst"
# shellcheck disable=SC2016 # the script's own $1
{
    echo "#!/bin/sh"
    echo "set -e"
    echo 'if [ "$1" = remove ]; then'
    echo "$services_removing"
    echo "fi"
} >"$deb/DEBIAN/prerm"
# shellcheck disable=SC2016 # the script's own $1
{
    echo "#!/bin/sh"
    echo "set -e"
    echo "$udev_refresh"
    echo 'if [ "$1" = remove ]; then'
    echo "	volscan_udev_refresh"
    echo "fi"
    echo 'if [ "$1" = purge ]; then'
    echo "$services_removed"
    echo "fi"
} >"$deb/DEBIAN/postrm"
chmod 0755 "$deb/DEBIAN/postinst" "$deb/DEBIAN/prerm" "$deb/DEBIAN/postrm"
chmod 0644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz --build "$deb" "$out/volscan_${version}_$arch.deb" >/dev/null
echo "$out/volscan_${version}_$arch.deb"

# --- RPM, for Amazon Linux 2023, Fedora and RHEL
rpm=$build/rpm
mkdir -p "$rpm/license"
printf '%s\n' "$license_text" >"$rpm/license/COPYING"
(cd "$stage" && find . ! -type d | sed 's|^\.||' | LC_ALL=C sort | sed 's|.*|"&"|') >"$rpm/files"
cat >"$rpm/volscan.rpmbuild" <<EOF
Name: volscan
Version: $version
Release: 1%{?dist}
Summary: Identity and performance statistics of EC2 NVMe volumes
License: $license_name
Group: Applications/System
Packager: $maintainer

%description
$description

%prep

%build

%install
cp -a "$stage/." "%{buildroot}/"
mkdir -p "%{buildroot}%{_licensedir}/volscan"
cp "$rpm/license/COPYING" "%{buildroot}%{_licensedir}/volscan/COPYING"

%post
$udev_refresh
volscan_udev_refresh
$services_installed

%preun
if [ \$1 -eq 0 ]; then
$services_removing
fi

%postun
$udev_refresh
if [ \$1 -eq 0 ]; then
	volscan_udev_refresh
$services_removed
fi

%files -f $rpm/files
%license %{_licensedir}/volscan/COPYING

%changelog
* $(LC_ALL=C date -d "${date}" '+%a %b %d %Y') $maintainer - $version-1
- Release $version.
EOF
rpmbuild -bb --quiet --define "_topdir $rpm/top" --define "_rpmdir $out" \
    --define '_build_name_fmt %%{NAME}-%%{VERSION}-%%{RELEASE}.%%{ARCH}.rpm' \
    --define '__os_install_post %{nil}' --define 'debug_package %{nil}' \
    "$rpm/volscan.rpmbuild" >>"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
ls "$out"/volscan-"$version"-1.*.rpm
