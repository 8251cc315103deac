#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# The container image, as make image builds it: both architectures'
# archives are valid OCI images (skopeo reads them; umoci unpacks them) with
# the labels a registry shows; each holds volscan-exporter and volscan, which
# run from the unpacked root alone (amd64 chrooted into it, arm64 under
# qemu-user with the root as its prefix) and print their version; it holds
# no shell; the exporter finds its HTTP user in the image's own passwd file
# and serves as that user; and building again from the same commit gives the
# same archives, byte for byte.
#
# Usage: image_check.sh SOURCE_DIR OUT_DIR
# OUT_DIR is tools/image.sh's (the archives stay there for the guest test).
# Exit status 0 passed, 1 failed, 77 skipped (not root, no umoci, skopeo,
# qemu-aarch64 or cross compiler, no arm64 packages).
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
for arch in amd64 arm64; do
    sha256sum <"$out/volscan-exporter-$version-$arch.oci.tar" >"$out/first-$arch.sha256"
done

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
    rm -rf "$layout"
done

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
for arch in amd64 arm64; do
    if cmp -s "$out/first-$arch.sha256" <(sha256sum <"$out/volscan-exporter-$version-$arch.oci.tar"); then
        echo "ok   $arch: built again, the same archive"
    else
        fail "$arch: built again from the same commit, the archive differs"
    fi
done
rm -rf "$out"/check-*.bundle
exit $failed
