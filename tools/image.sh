#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# The container image: volscan-exporter and volscan, the shared libraries
# their NEEDED entries name (and those the libraries name in turn), the
# dynamic loader, and the passwd and group entries the exporter looks up. No
# base image and no shell: the files come from Debian's own packages for each
# machine, downloaded and unpacked (never installed), and umoci writes the
# layout without running a container.
#
#   tools/image.sh [OUT_DIR [ARCH...]]   (default: build-image, amd64 arm64)
#
# Writes OUT_DIR/volscan-exporter-VERSION-ARCH.oci.tar, an oci-archive that
# podman load (or skopeo copy oci-archive:FILE ...) takes, named
# localhost/volscan-exporter:VERSION, and leaves its root in OUT_DIR/ARCH/rootfs;
# then OUT_DIR/volscan-exporter-VERSION.oci.tar, one oci-archive whose image
# index holds every architecture's image (skopeo copy --all pushes them in one
# step), and OUT_DIR/volscan-exporter-VERSION.cdx.json, the CycloneDX SBOM:
# volscan and the Debian packages whose files each image ships, with their
# versions. Each root carries the Debian release's /etc/os-release and a
# /var/lib/dpkg/status.d entry for each of those packages, which is where
# scanners look in an image without dpkg. Both architectures' packages are
# the same versions of the same release's.
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
revision=$(git -C "$source_dir" rev-parse HEAD 2>/dev/null || true)
source_url=${VOLSCAN_IMAGE_SOURCE:-$(git -C "$source_dir" config remote.origin.url 2>/dev/null || true)}
case $source_url in *://*) ;; *) source_url="" ;; esac
# The exporter's HTTP side runs as this user; 65532 is clear of the ranges
# that distributions give system and ordinary users, so it names no user of
# the host, whose user namespace the container shares.
web_uid=65532

# --- The binaries, for each machine ------------------------------------------

# The libraries come from Debian's packages for each machine, downloaded and
# unpacked, never installed: both images ship the same release's libraries at
# the same versions, whatever this machine has installed. The arm64 build
# takes its headers from them too, with pkg-config pointed at them alone; the
# amd64 build uses this machine's.
debian_packages="libc6 libgcc-s1 libstdc++6 libcrypt1 libcrypt-dev zlib1g zlib1g-dev
libyaml-0-2 libyaml-dev libmicrohttpd12 libmicrohttpd-dev libgnutls30 libgnutls28-dev
libgnutls-dane0 libgnutls-openssl27 libgnutlsxx30 libnettle8 libhogweed6 nettle-dev libgmp10
libgmpxx4ldbl libgmp-dev libidn2-0 libidn2-dev libunistring2 libp11-kit0 libp11-kit-dev
libffi8 libtasn1-6 libtasn1-6-dev libunbound8 libssl3 libevent-2.1-7 libseccomp2 libseccomp-dev"
# base-files brings the release's os-release.
# shellcheck disable=SC2086 # one word per package
runtime_packages="base-files $(printf '%s\n' $debian_packages | grep -v -- '-dev$' | tr '\n' ' ')"

# PACKAGE=VERSION for each package named, at the version that apt offers for
# arm64, whose builds of an update may come after amd64's.
candidates() {
    apt-cache policy "${@/%/:arm64}" 2>/dev/null | awk '
        /^[^ ].*:$/ { name = substr($0, 1, length($0) - 1); sub(/:arm64$/, "", name) }
        /^  Candidate:/ && $2 != "(none)" { print name "=" $2 }'
}

# Fetches ARCH's builds of the PACKAGEs into OUT/ARCH/packages/debs and
# unpacks them into .../root; kept while the versions stay the same.
fetch_packages() {
    local arch=$1 packages=$out/$1/packages versions wanted deb link target
    shift
    if [ -z "$(candidates libc6)" ]; then
        # arm64-debs.sh makes arm64 known to dpkg and apt (its package is
        # only that).
        sh "$source_dir/tests/cross/arm64-debs.sh" "$out/setup" base-files >"$out/setup.log" 2>&1 \
            || die "could not fetch Debian's arm64 packages: $(tail -n 1 "$out/setup.log")"
    fi
    versions=$(candidates "$@")
    [ "$(echo "$versions" | wc -l)" -eq $# ] \
        || die "could not fetch Debian's arm64 packages: apt knows no version of some of $*"
    wanted=$(echo "$versions" | sed "s/=/:$arch=/" | tr '\n' ' ')
    [ "$wanted" != "$(cat "$packages/wanted" 2>/dev/null)" ] || return 0
    rm -rf "$packages"
    mkdir -p "$packages/debs" "$packages/root"
    # One download for all, which is much quicker.
    # shellcheck disable=SC2086 # one word per package
    (cd "$packages/debs" && apt-get -o APT::Sandbox::User=root download $wanted) >"$out/$arch/debs.log" 2>&1 \
        || die "could not fetch Debian's $arch packages: $(tail -n 1 "$out/$arch/debs.log")"
    for deb in "$packages/debs"/*.deb; do
        dpkg-deb -x "$deb" "$packages/root" || die "could not unpack $deb"
    done
    # Links that name an absolute path (libz.so -> /lib/..., the loader's)
    # would name this machine's own file: they lead into the unpacked
    # packages instead.
    find "$packages/root" -type l | while read -r link; do
        target=$(readlink "$link")
        case $target in /*) ln -sfn "$packages/root$target" "$link" ;; esac
    done
    for deb in "$packages/debs"/*.deb; do
        dpkg-deb -c "$deb" | awk -v package="$(dpkg-deb -f "$deb" Package)" '{ print package, substr($6, 2) }'
    done >"$packages/contents"
    echo "$wanted" >"$packages/wanted"
}

build_amd64() {
    local build=$out/amd64/build
    cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOLSCAN_WERROR=ON \
        -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc >"$out/amd64/build.log" 2>&1 \
        || die "configuring failed: $out/amd64/build.log"
    cmake --build "$build" -j 2 --target volscan volscan-exporter >>"$out/amd64/build.log" 2>&1 \
        || die "building failed: $out/amd64/build.log"
    # shellcheck disable=SC2086 # one word per package
    fetch_packages amd64 $runtime_packages
    libroot=$out/amd64/packages/root
    triplet=x86_64-linux-gnu
    strip=strip
}

build_arm64() {
    local build=$out/arm64/build root=$out/arm64/packages/root
    command -v aarch64-linux-gnu-g++ >/dev/null || die "no aarch64 cross compiler (g++-aarch64-linux-gnu)"
    # shellcheck disable=SC2086 # one word per package
    fetch_packages arm64 base-files $debian_packages
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
    awk -v path="${1#"$libroot"}" '$2 == path { print $1; exit }' "$work/packages/contents"
}

# PACKAGE's control paragraph, as dpkg's status file holds it once the
# package is installed.
control() {
    local deb
    for deb in "$work/packages/debs/$1"_*.deb; do break; done
    [ -f "$deb" ] || die "no Debian package $1 among those fetched"
    dpkg-deb -f "$deb" | awk '{ print } NR == 1 { print "Status: install ok installed" }'
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
    # The libraries' licences travel with them, as Debian ships them; each
    # package is recorded where scanners look, with the release it is from.
    sort -u "$work/libraries" | while read -r library; do
        package=$(owner "$library")
        [ -n "$package" ] || die "no Debian package holds $library"
        package=${package%%:*}
        [ -f "$rootfs/usr/share/doc/$package/copyright" ] && continue
        mkdir -p "$rootfs/usr/share/doc/$package"
        cp -L "$libroot/usr/share/doc/$package/copyright" "$rootfs/usr/share/doc/$package/copyright"
    done
    # os-release and debian_version come from base-files, whose licence comes too.
    mkdir -p "$rootfs/usr/share/doc/base-files"
    cp -L "$libroot/usr/share/doc/base-files/copyright" "$rootfs/usr/share/doc/base-files/copyright"
    cp -L "$libroot/etc/os-release" "$rootfs/etc/os-release"
    cp -L "$libroot/etc/debian_version" "$rootfs/etc/debian_version"
    mkdir -p "$rootfs/var/lib/dpkg/status.d"
    : >"$work/shipped"
    for package in "$rootfs/usr/share/doc"/*; do
        package=${package##*/}
        [ "$package" != volscan ] || continue
        control "$package" >"$rootfs/var/lib/dpkg/status.d/$package"
        awk -v arch="$arch" '
            /^Package:/ { package = $2 } /^Version:/ { version = $2 }
            /^Source:/ { source = $2; if ($3 ~ /^\(/) source_version = substr($3, 2, length($3) - 2) }
            END { print package, version, source ? source : package, source_version ? source_version : version, arch }' \
            "$rootfs/var/lib/dpkg/status.d/$package" >>"$work/shipped"
    done
    chmod 0644 "$rootfs/etc/os-release" "$rootfs/etc/debian_version" "$rootfs/var/lib/dpkg/status.d"/* \
        "$rootfs/usr/share/doc"/*/copyright
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
    [ -z "$revision" ] || labels+=("org.opencontainers.image.revision=$revision")
    local options=() label
    for label in "${labels[@]}"; do
        options+=(--config.label "$label" --manifest.annotation "$label")
    done
    umoci config --image "$layout:$name" --no-history --created="$created" --author=volscan \
        --architecture="$arch" --os=linux --config.user=0:0 --config.env=PATH=/usr/bin \
        --config.entrypoint=/usr/bin/volscan-exporter --config.exposedports=9720/tcp \
        --config.stopsignal=SIGTERM "${options[@]}"
    umoci gc --layout "$layout"
    archive_layout "$layout" "$archive"
    echo "$archive: $(($(stat -c %s "$archive") / 1024)) KiB ($(du -sk --apparent-size "$rootfs" | cut -f1) KiB unpacked)"
}

# An oci-archive is the layout as one tar.
archive_layout() {
    tar -C "$1" --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
        --format=posix --pax-option=exthdr.name=%d/PaxHeaders/%f,delete=atime,delete=ctime \
        -cf "$2" .
}

# One layout with every architecture's blobs, whose index.json names one
# image index, which holds each architecture's manifest with its platform.
# umoci writes no image index, so this writes it in the OCI image layout's format.
pack_index() {
    local layout=$out/index name=localhost/volscan-exporter:$version arch descriptors=()
    local archive=$out/volscan-exporter-$version.oci.tar
    rm -rf "$layout"
    mkdir -p "$layout/blobs/sha256"
    for arch in "$@"; do
        cp -p "$out/$arch/oci/blobs/sha256"/* "$layout/blobs/sha256/"
        descriptors+=("$(jq -c --arg arch "$arch" '.manifests[0] | del(.annotations)
            | . + {platform: {architecture: $arch, os: "linux"}}' "$out/$arch/oci/index.json")")
    done
    local annotations
    annotations=$(jq -n -c --arg created "$created" --arg version "$version" --arg revision "$revision" \
        --arg source "$source_url" '{"org.opencontainers.image.title": "volscan-exporter",
            "org.opencontainers.image.version": $version, "org.opencontainers.image.created": $created}
        + (if $revision != "" then {"org.opencontainers.image.revision": $revision} else {} end)
        + (if $source != "" then {"org.opencontainers.image.source": $source} else {} end)')
    printf '%s\n' "${descriptors[@]}" | jq -s -c --argjson annotations "$annotations" \
        '{schemaVersion: 2, mediaType: "application/vnd.oci.image.index.v1+json",
          manifests: ., annotations: $annotations}' | tr -d '\n' >"$layout/index.blob"
    local digest size
    digest=$(sha256sum "$layout/index.blob" | cut -d ' ' -f 1)
    size=$(stat -c %s "$layout/index.blob")
    mv "$layout/index.blob" "$layout/blobs/sha256/$digest"
    jq -n -c --arg digest "sha256:$digest" --argjson size "$size" --arg name "$name" \
        '{schemaVersion: 2, mediaType: "application/vnd.oci.image.index.v1+json",
          manifests: [{mediaType: "application/vnd.oci.image.index.v1+json", digest: $digest,
                       size: $size, annotations: {"org.opencontainers.image.ref.name": $name}}]}' \
        | tr -d '\n' >"$layout/index.json"
    printf '{"imageLayoutVersion":"1.0.0"}' >"$layout/oci-layout"
    chmod 0644 "$layout/index.json" "$layout/oci-layout" "$layout/blobs/sha256"/*
    find "$layout" -exec touch -h -d "@$epoch" {} +
    archive_layout "$layout" "$archive"
    echo "$archive: $(($(stat -c %s "$archive") / 1024)) KiB, image index sha256:$digest ($*)"
}

# purl's form of a Debian package (its version percent-encoded, the epoch a
# qualifier of its own).
sbom() {
    local file=$out/volscan-exporter-$version.cdx.json release arch
    release=$(cat "$out/$1/rootfs/etc/debian_version")
    for arch in "$@"; do
        cat "$out/$arch/shipped"
    done | jq -R -s -c --arg release "$release" '
        def encode: gsub("%"; "%25") | gsub("\\+"; "%2B") | gsub(":"; "%3A") | gsub("~"; "%7E");
        split("\n") | map(select(. != "") | split(" ")
            | {package: .[0], version: .[1], source: .[2], source_version: .[3], arch: .[4]}
            | (.version | capture("^((?<epoch>[0-9]+):)?(?<plain>.*)$")) as $v
            | .purl = "pkg:deb/debian/\(.package)@\($v.plain | encode)?arch=\(.arch)&distro=debian-\($release)"
                + (if $v.epoch then "&epoch=\($v.epoch)" else "" end)
                + (if .source != .package then "&upstream=\(.source | encode)" else "" end))' \
        >"$out/sbom-packages.json"
    jq -n --argjson packages "$(cat "$out/sbom-packages.json")" --arg version "$version" \
        --arg created "$created" --arg revision "$revision" --arg source "$source_url" \
        --arg release "$release" --arg arches "$*" '
        {bomFormat: "CycloneDX", specVersion: "1.6", version: 1,
         metadata: {
           timestamp: $created,
           tools: {components: [{type: "application", name: "tools/image.sh", version: $version}]},
           component: ({type: "container", "bom-ref": "volscan-exporter-image",
             name: "localhost/volscan-exporter", version: $version,
             description: "volscan-exporter and volscan with the Debian \($release) libraries they need, for \($arches)",
             licenses: [{license: {id: "BSD-2-Clause"}}]}
             + (if $revision != "" then {properties: [{name: "org.opencontainers.image.revision", value: $revision}]} else {} end))},
         components: ([{type: "application", "bom-ref": "volscan", name: "volscan", version: $version,
             description: "volscan and volscan-exporter, built for each architecture from the same commit",
             licenses: [{license: {id: "BSD-2-Clause"}}],
             purl: "pkg:generic/volscan@\($version)"}
             + (if $source != "" then {externalReferences: [{type: "vcs", url: $source}]} else {} end)]
           + [$packages[] | {type: (if .package == "base-files" then "operating-system" else "library" end),
               "bom-ref": .purl, name: .package, version: .version, purl: .purl,
               properties: [{name: "debian:source", value: .source}, {name: "debian:source-version", value: .source_version},
                            {name: "debian:architecture", value: .arch}]}]),
         dependencies: [{ref: "volscan-exporter-image", dependsOn: (["volscan"] + [$packages[].purl])},
                        {ref: "volscan", dependsOn: [$packages[] | select(.package != "base-files") | .purl]}]}' >"$file"
    rm -f "$out/sbom-packages.json"
    echo "$file: $(jq '.components | length' "$file") components"
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
pack_index "${arches[@]}"
sbom "${arches[@]}"
