#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# The container image: volscan-exporter and volscan, the shared libraries
# their NEEDED entries name (and those the libraries name in turn), the
# dynamic loader, and the passwd and group entries the exporter looks up. No
# base image and no shell: the files come from Debian's own packages, amd64's
# from this machine and arm64's unpacked from Debian's arm64 .debs (never
# installed), and umoci writes the layout without running a container.
#
#   tools/image.sh [OUT_DIR [ARCH...]]   (default: build-image, amd64 arm64)
#
# Writes OUT_DIR/volscan-exporter-VERSION-ARCH.oci.tar, an oci-archive that
# podman load (or skopeo copy oci-archive:FILE ...) takes, named
# localhost/volscan-exporter:VERSION, and leaves its root in OUT_DIR/ARCH/rootfs.
# Every date in it is the last commit's, so that the same commit makes the
# same archive. Environment: VOLSCAN_IMAGE_SOURCE, the URL of the source for
# the org.opencontainers.image.source label (default: git's origin when it is
# a URL; left out otherwise).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
out=${1:-build-image}
shift || true
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(amd64 arm64)
mkdir -p "$out"
out=$(cd "$out" && pwd)

die() {
    echo "image.sh: $*" >&2
    exit 1
}
command -v umoci >/dev/null || die "umoci is missing (Debian: umoci; tools/install-deps.sh image)"

version=$(sed -n 's/^project(volscan VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
[ -n "$version" ] || die "no project version in CMakeLists.txt"
epoch=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 0)
created=$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)
source_url=${VOLSCAN_IMAGE_SOURCE:-$(git -C "$source_dir" config remote.origin.url 2>/dev/null || true)}
case $source_url in *://*) ;; *) source_url="" ;; esac
# The exporter's HTTP side runs as this user; 65532 is clear of the ranges
# that distributions give system and ordinary users, so it names no user of
# the host, whose user namespace the container shares.
web_uid=65532

# --- The binaries, for each machine ------------------------------------------

build_amd64() {
    local build=$out/amd64/build
    cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOLSCAN_WERROR=ON \
        -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc >"$out/amd64/build.log" 2>&1 \
        || die "configuring failed: $out/amd64/build.log"
    cmake --build "$build" -j 2 --target volscan volscan-exporter >>"$out/amd64/build.log" 2>&1 \
        || die "building failed: $out/amd64/build.log"
    libroot=""
    triplet=x86_64-linux-gnu
    strip=strip
}

# The exporter's libraries and their headers for arm64, from Debian's arm64
# packages; pkg-config is pointed at them alone.
arm64_packages="libc6 libgcc-s1 libstdc++6 libcrypt1 libcrypt-dev zlib1g zlib1g-dev
libyaml-0-2 libyaml-dev libmicrohttpd12 libmicrohttpd-dev libgnutls30 libgnutls28-dev
libgnutls-dane0 libgnutls-openssl27 libgnutlsxx30 libnettle8 libhogweed6 nettle-dev libgmp10
libgmpxx4ldbl libgmp-dev libidn2-0 libidn2-dev libunistring2 libp11-kit0 libp11-kit-dev
libffi8 libtasn1-6 libtasn1-6-dev libunbound8 libssl3 libevent-2.1-7 libseccomp2 libseccomp-dev"

build_arm64() {
    local build=$out/arm64/build packages=$out/arm64/packages
    command -v aarch64-linux-gnu-g++ >/dev/null || die "no aarch64 cross compiler (g++-aarch64-linux-gnu)"
    # The headers of the first and the last library stand for the set fetched.
    if [ ! -f "$packages/root/usr/include/microhttpd.h" ] || [ ! -f "$packages/root/usr/include/seccomp.h" ]; then
        # The first package through arm64-debs.sh, which makes arm64 known to
        # dpkg and apt; the others in one download, which is much quicker.
        sh "$source_dir/tests/cross/arm64-debs.sh" "$packages" libc6 >"$out/arm64/debs.log" 2>&1 \
            || die "could not fetch Debian's arm64 packages: $(tail -n 1 "$out/arm64/debs.log")"
        local package deb
        # shellcheck disable=SC2086 # one word per package
        (cd "$packages/debs" && apt-get -o APT::Sandbox::User=root download \
            $(for package in $arm64_packages; do echo "$package:arm64"; done)) >>"$out/arm64/debs.log" 2>&1 \
            || die "could not fetch Debian's arm64 packages: $(tail -n 1 "$out/arm64/debs.log")"
        for deb in "$packages/debs"/*.deb; do
            dpkg-deb -x "$deb" "$packages/root" || die "could not unpack $deb"
        done
        rm -f "$packages/contents"
    fi
    local root=$packages/root link target
    # Development links that name an absolute path (libz.so -> /lib/...)
    # would name the build machine's own library: they lead into the
    # unpacked packages instead.
    find "$root" -type l | while read -r link; do
        target=$(readlink "$link")
        case $target in "$root"/*) ;; /*) ln -sfn "$root$target" "$link" ;; esac
    done
    local libs=$root/usr/lib/aarch64-linux-gnu:$root/lib/aarch64-linux-gnu
    PKG_CONFIG_LIBDIR=$root/usr/lib/aarch64-linux-gnu/pkgconfig:$root/usr/share/pkgconfig \
        PKG_CONFIG_SYSROOT_DIR=$root \
        cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOLSCAN_WERROR=ON \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/aarch64-linux-gnu-toolchain.cmake" \
        -DVOLSCAN_AARCH64_ROOT="$root" -DCMAKE_EXE_LINKER_FLAGS="-Wl,-rpath-link,$libs" \
        >"$out/arm64/build.log" 2>&1 || die "configuring failed: $out/arm64/build.log"
    grep -q 'volscan-exporter: libmicrohttpd' "$out/arm64/build.log" \
        || die "the arm64 build would leave out volscan-exporter: $out/arm64/build.log"
    cmake --build "$build" -j 2 --target volscan volscan-exporter >>"$out/arm64/build.log" 2>&1 \
        || die "building failed: $out/arm64/build.log"
    libroot=$root
    triplet=aarch64-linux-gnu
    strip=aarch64-linux-gnu-strip
}

# --- The root ----------------------------------------------------------------

# Copies the libraries that FILE needs, and theirs, into the root's library
# folder, where Debian's loader looks without a cache.
copy_needed() {
    local soname found dir
    for soname in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
        [ ! -e "$rootfs/usr/lib/$triplet/$soname" ] || continue
        found=""
        for dir in "$libroot/usr/lib/$triplet" "$libroot/lib/$triplet"; do
            if [ -e "$dir/$soname" ]; then
                found=$dir/$soname
                break
            fi
        done
        [ -n "$found" ] || die "$soname, needed by $(basename "$1"), is not in $libroot"
        cp -L "$found" "$rootfs/usr/lib/$triplet/$soname"
        chmod 0644 "$rootfs/usr/lib/$triplet/$soname"
        echo "$found" >>"$work/libraries"
        copy_needed "$rootfs/usr/lib/$triplet/$soname"
    done
}

# The Debian package that holds FILE (a path under libroot).
owner() {
    if [ -z "$libroot" ]; then
        # dpkg knows a library by the path its package gives, with or
        # without /usr in front.
        { dpkg -S "$1" || dpkg -S "${1#/usr}" || true; } 2>/dev/null | sed -n '1s/:.*//p'
    else
        local contents=$out/arm64/packages/contents
        if [ ! -s "$contents" ]; then
            local deb
            for deb in "$out/arm64/packages/debs"/*.deb; do
                dpkg-deb -c "$deb" | awk -v package="$(dpkg-deb -f "$deb" Package)" '{ print package, substr($6, 2) }'
            done >"$contents"
        fi
        awk -v path="${1#"$libroot"}" '$2 == path { print $1; exit }' "$contents"
    fi
}

make_root() {
    local arch=$1 build=$out/$1/build interp package
    rootfs=$out/$arch/rootfs
    work=$out/$arch
    rm -rf "$rootfs" "$work/libraries"
    : >"$work/libraries"
    mkdir -p "$rootfs/usr/bin" "$rootfs/usr/lib/$triplet" "$rootfs/etc" "$rootfs/usr/share/doc/volscan"
    "$strip" --strip-unneeded -o "$rootfs/usr/bin/volscan" "$build/volscan"
    "$strip" --strip-unneeded -o "$rootfs/usr/bin/volscan-exporter" "$build/src/exporter/volscan-exporter"
    copy_needed "$rootfs/usr/bin/volscan-exporter"
    copy_needed "$rootfs/usr/bin/volscan"
    interp=$(readelf -l "$rootfs/usr/bin/volscan-exporter" | sed -n 's/.*program interpreter: \(.*\)\]$/\1/p')
    [ -n "$interp" ] || die "volscan-exporter names no program interpreter"
    # libc names the loader too, so it is in the library folder already; the
    # path the binaries ask for leads there.
    [ -e "$rootfs/usr/lib/$triplet/${interp##*/}" ] || die "libc did not bring the loader ${interp##*/}"
    chmod 0755 "$rootfs/usr/lib/$triplet/${interp##*/}"
    mkdir -p "$rootfs$(dirname "$interp")"
    ln -s "$(realpath -m -s --relative-to="$(dirname "$interp")" "/usr/lib/$triplet/${interp##*/}")" "$rootfs$interp"
    # The libraries' licences travel with them, as Debian ships them.
    sort -u "$work/libraries" | while read -r library; do
        package=$(owner "$library")
        [ -n "$package" ] || die "no Debian package holds $library"
        package=${package%%:*}
        [ -f "$rootfs/usr/share/doc/$package/copyright" ] && continue
        mkdir -p "$rootfs/usr/share/doc/$package"
        cp -L "$libroot/usr/share/doc/$package/copyright" "$rootfs/usr/share/doc/$package/copyright"
    done
    cp "$source_dir/LICENSE" "$rootfs/usr/share/doc/volscan/copyright"
    # root for the device side; the HTTP side's own user, which the DaemonSet
    # names with --web.user; nobody for a user who keeps the exporter's default.
    printf '%s\n' "root:x:0:0:root:/root:/sbin/nologin" \
        "volscan-exporter:x:$web_uid:$web_uid:volscan-exporter:/nonexistent:/sbin/nologin" \
        "nobody:x:65534:65534:nobody:/nonexistent:/sbin/nologin" >"$rootfs/etc/passwd"
    printf '%s\n' "root:x:0:" "volscan-exporter:x:$web_uid:" "nogroup:x:65534:" >"$rootfs/etc/group"
    printf '%s\n' "passwd: files" "group: files" "hosts: files dns" >"$rootfs/etc/nsswitch.conf"
    find "$rootfs" -exec touch -h -d "@$epoch" {} +
}

# --- The image ---------------------------------------------------------------

pack() {
    local arch=$1 layout=$out/$1/oci name=localhost/volscan-exporter:$version
    local archive=$out/volscan-exporter-$version-$arch.oci.tar
    rm -rf "$layout"
    tar -C "$rootfs" --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
        --format=posix --pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime \
        -cf "$out/$arch/layer.tar" .
    umoci init --layout "$layout"
    umoci new --image "$layout:$name"
    umoci raw add-layer --image "$layout:$name" --history.created="$created" \
        --history.created_by="tools/image.sh" "$out/$arch/layer.tar"
    local labels=(
        "org.opencontainers.image.title=volscan-exporter"
        "org.opencontainers.image.description=Prometheus exporter of the statistics of EC2 machines' EBS NVMe volumes, with volscan"
        "org.opencontainers.image.version=$version"
        "org.opencontainers.image.licenses=BSD-2-Clause"
        "org.opencontainers.image.created=$created"
    )
    [ -z "$source_url" ] || labels+=("org.opencontainers.image.source=$source_url")
    local options=() label
    for label in "${labels[@]}"; do
        options+=(--config.label "$label" --manifest.annotation "$label")
    done
    umoci config --image "$layout:$name" --no-history --created="$created" --author=volscan \
        --architecture="$arch" --os=linux --config.user=0:0 --config.env=PATH=/usr/bin \
        --config.entrypoint=/usr/bin/volscan-exporter --config.exposedports=9720/tcp \
        --config.stopsignal=SIGTERM "${options[@]}"
    umoci gc --layout "$layout"
    # An oci-archive is the layout as one tar.
    tar -C "$layout" --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
        --format=posix --pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime \
        -cf "$archive" .
    echo "$archive: $(($(stat -c %s "$archive") / 1024)) KiB ($(du -sk --apparent-size "$rootfs" | cut -f1) KiB unpacked)"
}

for arch in "${arches[@]}"; do
    mkdir -p "$out/$arch"
    case $arch in
        amd64) build_amd64 ;;
        arm64) build_arm64 ;;
        *) die "no image for $arch (amd64, arm64)" ;;
    esac
    make_root "$arch"
    pack "$arch"
done
