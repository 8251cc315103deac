#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# The container image, as make image builds it: both architectures'
# archives are valid OCI images (skopeo reads them; umoci unpacks them) with
# the labels a registry shows; each holds volscan-exporter and volscan, which
# run from the unpacked root alone (amd64 chrooted into it, arm64 under
# qemu-user with the root as its prefix) and print their version; it holds
# no shell; the exporter finds its HTTP user in the image's own passwd file
# and serves as that user; and building again from the same commit gives the
# same archives, byte for byte. The archive of both: its image index holds
# each architecture's manifest, with its platform, and skopeo copies both in
# one step. What scanners read: each root's /etc/os-release is Debian's, and
# /var/lib/dpkg/status.d holds exactly the packages whose files it ships, at
# the same versions for both architectures (the C library itself tells its
# version); the CycloneDX SBOM lists them and volscan, and CycloneDX's own
# library validates it against the schema.
#
# Usage: image_check.sh SOURCE_DIR OUT_DIR
# OUT_DIR is tools/image.sh's (the archives stay there for the guest test).
# Exit status 0 passed, 1 failed, 77 skipped (not root, no umoci, skopeo,
# qemu-aarch64 or cross compiler, no arm64 packages, no npm registry on the
# first run).
set -euo pipefail

source_dir=$(cd "$1" && pwd)
out=$2
mkdir -p "$out"
out=$(cd "$out" && pwd)

skip() {
    echo "SKIPPED: $*"
    exit 77
}
failed=0
fail() {
    echo "FAIL $*"
    failed=1
}

[ "$(id -u)" -eq 0 ] || skip "not root (umoci unpack and chroot keep the files' owners)"
for tool in umoci skopeo qemu-aarch64 aarch64-linux-gnu-g++ curl; do
    command -v $tool >/dev/null || skip "no $tool (tools/install-deps.sh image)"
done
# env -i clears PATH, and chroot is in /usr/sbin.
chroot=$(PATH=$PATH:/usr/sbin:/sbin command -v chroot) || skip "no chroot"
version=$(sed -n 's/^project(volscan VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
revision=$(git -C "$source_dir" rev-parse HEAD)

# The SBOM's validator, installed again when its lock file changes.
for tool in node npm jq; do
    command -v $tool >/dev/null || skip "no $tool (tools/install-deps.sh kubernetes)"
done
npm_dir=$out/sbom-validator
mkdir -p "$npm_dir"
cp "$source_dir/tests/kubernetes/sbom/package.json" "$source_dir/tests/kubernetes/sbom/package-lock.json" \
    "$source_dir/tests/kubernetes/sbom/validate.js" "$npm_dir/"
if ! cmp -s "$npm_dir/package-lock.json" "$npm_dir/node_modules/.installed-lock.json" 2>/dev/null; then
    (cd "$npm_dir" && timeout 240 npm ci --no-audit --no-fund --loglevel=error) >"$out/npm.log" 2>&1 \
        || skip "npm ci failed: $(tail -n 1 "$out/npm.log")"
    cp "$npm_dir/package-lock.json" "$npm_dir/node_modules/.installed-lock.json"
fi

build() {
    timeout 900 bash "$source_dir/tools/image.sh" "$out" >"$out/image.log" 2>&1
}
if ! build; then
    grep -q 'could not fetch' "$out/image.log" && skip "$(tail -n 1 "$out/image.log")"
    fail "tools/image.sh failed:"
    sed 's/^/    | /' "$out/image.log"
    exit 1
fi
sed 's/^/     /' "$out/image.log"
products=("volscan-exporter-$version-amd64.oci.tar" "volscan-exporter-$version-arm64.oci.tar"
    "volscan-exporter-$version.oci.tar" "volscan-exporter-$version.cdx.json")
(cd "$out" && sha256sum "${products[@]}") >"$out/first.sha256"

# What scanners read in the root of ARCH at ROOT: Debian's os-release, and a
# status entry for each package whose files the root ships, no other: this
# machine's dpkg says which package holds each library (package names are
# the same on both machines). The entries' versions go to OUT/ARCH.versions.
check_packages() {
    local arch=$1 root=$2 triplet file package want got entry
    [ "$arch" = amd64 ] && triplet=x86_64-linux-gnu || triplet=aarch64-linux-gnu
    got=$(sed -n 's/^\(ID\|VERSION_ID\|VERSION_CODENAME\)=//p' "$root/etc/os-release" 2>/dev/null | tr '\n' ' ')
    want=$(sed -n 's/^\(ID\|VERSION_ID\|VERSION_CODENAME\)=//p' /etc/os-release | tr '\n' ' ')
    [ "$got" = "$want" ] && echo "ok   $arch: /etc/os-release is Debian's ($got)" \
        || fail "$arch: /etc/os-release says \"$got\", not \"$want\""
    want=$( {
        echo base-files
        for file in "$root/usr/lib/$triplet"/*; do
            # Only the loaders' names differ between the machines.
            file=${file##*/}
            file=${file/ld-linux-aarch64.so.1/ld-linux-x86-64.so.2}
            package=$({ dpkg -S "/usr/lib/x86_64-linux-gnu/$file" || dpkg -S "/lib/x86_64-linux-gnu/$file"; } 2>/dev/null \
                | sed -n '1s/:.*//p')
            echo "${package:-(no package holds $file)}"
        done
    } | LC_ALL=C sort -u)
    got=$(for entry in "$root/var/lib/dpkg/status.d"/*; do
        awk -v file="${entry##*/}" -v arch="$arch" '
            /^Package:/ { package = $2 } /^Version:/ { version = $2 } /^Architecture:/ { architecture = $2 }
            /^Status: install ok installed$/ { installed = 1 }
            END { if (package != file || architecture != arch || version == "" || !installed)
                      print "(a bad entry:", file, package, architecture, version ")"
                  else print package, version }' "$entry"
    done | LC_ALL=C sort)
    cut -d ' ' -f 1 <<<"$got" | grep -q '^(a' && fail "$arch: status.d: $(grep '^(a' <<<"$got")"
    if [ "$(cut -d ' ' -f 1 <<<"$got")" = "$want" ]; then
        echo "ok   $arch: status.d names the $(wc -l <<<"$want") packages whose files the root ships"
    else
        fail "$arch: status.d's packages, and those whose files the root ships:"
        diff <(cut -d ' ' -f 1 <<<"$got") <(echo "$want") | sed 's/^/    | /' || true
    fi
    echo "$got" >"$out/$arch.versions"
    # The C library tells its own Debian version when the loader runs it.
    local libc
    if [ "$arch" = amd64 ]; then
        libc=$(timeout 30 env -i "$chroot" "$root" "/usr/lib/$triplet/ld-linux-x86-64.so.2" \
            "/usr/lib/$triplet/libc.so.6" 2>&1 | head -n 1) || true
    else
        libc=$(timeout 60 env -i qemu-aarch64 -L "$root" "$root/usr/lib/$triplet/ld-linux-aarch64.so.1" \
            "/usr/lib/$triplet/libc.so.6" 2>&1 | head -n 1) || true
    fi
    want=$(awk '$1 == "libc6" { print $2 }' <<<"$got")
    [[ $libc == *"(Debian GLIBC $want)"* ]] && echo "ok   $arch: libc6's entry has the version of the C library shipped ($want)" \
        || fail "$arch: libc6's entry says $want; the library: $libc"
}

for arch in amd64 arm64; do
    archive=$out/volscan-exporter-$version-$arch.oci.tar
    name=localhost/volscan-exporter:$version
    # skopeo's reading of the image: its platform and labels.
    if ! inspect=$(timeout 60 skopeo inspect --config "oci-archive:$archive:$name" 2>&1); then
        fail "$arch: skopeo cannot read $archive: $inspect"
        continue
    fi
    got=$(jq -r '"\(.architecture) \(.os) user=\(.config.User) entrypoint=\(.config.Entrypoint | join(" ")) created=\(.created)",
        (.config.Labels | to_entries[] | "\(.key)=\(.value)")' <<<"$inspect" | LC_ALL=C sort)
    created=$(date -u -d "@$(git -C "$source_dir" log -1 --format=%ct)" +%Y-%m-%dT%H:%M:%SZ)
    want=$(printf '%s\n' "$arch linux user=0:0 entrypoint=/usr/bin/volscan-exporter created=$created" \
        "org.opencontainers.image.created=$created" \
        "org.opencontainers.image.description=Prometheus exporter of the statistics of EC2 machines' EBS NVMe volumes, with volscan" \
        "org.opencontainers.image.licenses=BSD-2-Clause" \
        "org.opencontainers.image.revision=$revision" \
        "org.opencontainers.image.title=volscan-exporter" \
        "org.opencontainers.image.version=$version" | LC_ALL=C sort)
    # The source's URL is there only where the clone's origin is a URL.
    got=$(grep -v '^org.opencontainers.image.source=' <<<"$got")
    if [ "$got" != "$want" ]; then
        fail "$arch: the image's configuration:"
        diff <(echo "$want") <(echo "$got") | sed 's/^/    | /' || true
    else
        echo "ok   $arch: skopeo reads the archive, $arch linux, labelled"
    fi

    # umoci's unpacking, as a runtime would lay the root out.
    layout=$out/check-$arch
    rm -rf "$layout" "$layout.bundle"
    mkdir -p "$layout"
    tar -C "$layout" -xf "$archive"
    if ! timeout 120 umoci unpack --image "$layout:$name" "$layout.bundle" >"$out/unpack-$arch.log" 2>&1; then
        fail "$arch: umoci cannot unpack the image: $(tail -n 3 "$out/unpack-$arch.log")"
        continue
    fi
    root=$layout.bundle/rootfs
    shells=$(cd "$root" && find . -name sh -o -name bash -o -name dash -o -name busybox)
    [ -z "$shells" ] && echo "ok   $arch: no shell" || fail "$arch: a shell in the image: $shells"
    for program in volscan volscan-exporter; do
        if [ "$arch" = amd64 ]; then
            got=$(timeout 30 env -i "$chroot" "$root" "/usr/bin/$program" --version 2>&1) || true
        else
            got=$(timeout 60 env -i qemu-aarch64 -L "$root" "$root/usr/bin/$program" --version 2>&1) || true
        fi
        [ "$got" = "$program $version" ] && echo "ok   $arch: $program --version" \
            || fail "$arch: $program --version printed \"$got\""
    done
    check_packages "$arch" "$root"
    rm -rf "$layout"
done

# Both architectures ship the same packages at the same versions.
cmp -s "$out/amd64.versions" "$out/arm64.versions" \
    && echo "ok   amd64 and arm64 ship the same Debian packages at the same versions" \
    || { fail "the architectures' packages differ:"; diff "$out/amd64.versions" "$out/arm64.versions" | sed 's/^/    | /'; }

# The archive of both: one image index, each manifest with its platform and
# the same as the architecture's own archive; skopeo copy --all takes both.
index=$out/volscan-exporter-$version.oci.tar
got=$(timeout 60 skopeo inspect --raw "oci-archive:$index" 2>&1 \
    | jq -r '.mediaType, (.manifests[] | "\(.platform.os)/\(.platform.architecture) \(.digest)"),
             .annotations["org.opencontainers.image.revision"]' 2>&1)
want=$(echo "application/vnd.oci.image.index.v1+json"
    for arch in amd64 arm64; do
        echo "linux/$arch $(tar -xOf "$out/volscan-exporter-$version-$arch.oci.tar" ./index.json | jq -r '.manifests[0].digest')"
    done
    echo "$revision")
[ "$got" = "$want" ] && echo "ok   the index archive holds linux/amd64 and linux/arm64, each the architecture's own image" \
    || { fail "the index archive:"; diff <(echo "$want") <(echo "$got") | sed 's/^/    | /'; }
for arch in amd64 arm64; do
    got=$(timeout 60 skopeo inspect --config --override-arch "$arch" "oci-archive:$index" 2>&1 \
        | jq -r '"\(.architecture) \(.os) \(.config.Labels["org.opencontainers.image.revision"])"' 2>&1)
    [ "$got" = "$arch linux $revision" ] && echo "ok   the index archive's $arch image: its configuration says $arch" \
        || fail "the index archive's $arch image: \"$got\""
done
rm -rf "$out/copy"
if timeout 120 skopeo copy --all -q "oci-archive:$index" "oci:$out/copy:$version" >"$out/copy.log" 2>&1; then
    got=$(jq -r '.manifests[0].digest' "$out/copy/index.json")
    [ "$got" = "$(tar -xOf "$index" ./index.json | jq -r '.manifests[0].digest')" ] \
        && echo "ok   skopeo copy --all copies the index unchanged" \
        || fail "skopeo copy --all made another index: $got"
else
    fail "skopeo copy --all: $(cat "$out/copy.log")"
fi
rm -rf "$out/copy"

# The SBOM: valid CycloneDX, and its Debian packages are the status entries.
sbom=$out/volscan-exporter-$version.cdx.json
if timeout 60 node "$npm_dir/validate.js" "$sbom" >"$out/sbom.log" 2>&1; then
    echo "ok   the SBOM is valid CycloneDX 1.6"
else
    fail "the SBOM: $(cat "$out/sbom.log")"
fi
# A fault planted in a copy (a component without its name) must fail.
jq 'del(.components[1].name)' "$sbom" >"$out/bad.cdx.json"
if timeout 60 node "$npm_dir/validate.js" "$out/bad.cdx.json" >"$out/bad-sbom.log" 2>&1; then
    fail "the validator took an SBOM with a nameless component"
elif grep -q "/components/1 must have required property 'name'" "$out/bad-sbom.log"; then
    echo "ok   the validator refuses an SBOM with a nameless component"
else
    fail "the validator on a nameless component: $(cat "$out/bad-sbom.log")"
fi
got=$(jq -r '.components[] | select(.purl | startswith("pkg:deb/")) | . as $c
        | "\(.purl | capture("arch=(?<a>[a-z0-9]+)").a) \(.name) \(.version) \(.purl | startswith("pkg:deb/debian/" + $c.name + "@"))"' "$sbom" \
    | LC_ALL=C sort)
want=$(for arch in amd64 arm64; do sed "s/^/$arch /; s/\$/ true/" "$out/$arch.versions"; done | LC_ALL=C sort)
[ "$got" = "$want" ] && echo "ok   the SBOM lists the status entries' packages with their versions, as pkg:deb/debian purls" \
    || { fail "the SBOM's Debian packages:"; diff <(echo "$want") <(echo "$got") | sed 's/^/    | /'; }
got=$(jq -r '.components[] | select(.name == "volscan") | .version' "$sbom")
[ "$got" = "$version" ] && echo "ok   the SBOM lists volscan $version" || fail "the SBOM's volscan: \"$got\""

# The exporter in the amd64 root: its metrics side runs as the image's own user.
root=$out/check-amd64.bundle/rootfs
port=$((20000 + $$ % 20000))
env -i "$chroot" "$root" /usr/bin/volscan-exporter --web.user=volscan-exporter \
    --web.listen-address="127.0.0.1:$port" >"$out/exporter.out" 2>"$out/exporter.err" &
exporter=$!
code=000
for _ in $(seq 50); do
    code=$(curl -s -m 5 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/") || true
    [ "$code" = 200 ] && break
    sleep 0.2
done
users=$(for pid in $exporter $(cat /proc/$exporter/task/*/children 2>/dev/null); do
    awk '/^Uid:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true
done | LC_ALL=C sort -n | tr '\n' ' ')
kill "$exporter"
timeout 10 tail --pid="$exporter" -f /dev/null || kill -9 "$exporter"
[ "$code" = 200 ] && [ "$users" = "0 65532 " ] \
    && echo "ok   amd64: the exporter serves, its metrics side as volscan-exporter (65532)" \
    || fail "amd64: the exporter in the image: status $code, users \"$users\": $(cat "$out/exporter.err")"

# The same commit, the same archives.
build || fail "tools/image.sh failed the second time"
if (cd "$out" && sha256sum --quiet -c "$out/first.sha256") >"$out/second.log" 2>&1; then
    echo "ok   built again, the same archives and SBOM"
else
    fail "built again from the same commit, they differ: $(cat "$out/second.log")"
fi
rm -rf "$out"/check-*.bundle
exit $failed
