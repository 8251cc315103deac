#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages that building and testing volscan need, when
# any is missing. As root it runs apt-get; otherwise it prints the line to run.
# Usage: tools/install-deps.sh [package-set ...]
#   (sets: build, demo, demo-exporter, check, all, packages, coverage, mixin, image,
#    kubernetes, exporter, bench)
set -eu

build="cmake make g++ clang pkg-config"
# tmux runs volscan top in a real terminal; promtool (exporter set) checks its quantiles.
check="libgtest-dev libbenchmark-dev umockdev libumockdev-dev libclang-rt-14-dev jq mandoc lld llvm xz-utils g++-aarch64-linux-gnu qemu-user tmux"
all="valgrind udev qemu-system-x86 busybox-static cpio xz-utils qemu-system-arm debootstrap"
# Building the packages (make packages), checking them, and installing one
# into a Debian root made for the test (make check-all).
packages="dpkg-dev rpm lintian rpmlint"
all="$all $packages"
# volscan-exporter and its tests: promtool (in prometheus) and systemd-analyze
# in make check, a Prometheus server and node_exporter in make check-all.
# The web configuration: YAML, TLS through GnuTLS, bcrypt through crypt; gzip;
# its tests make certificates and password hashes with openssl and htpasswd.
exporter="libmicrohttpd-dev libyaml-dev libgnutls28-dev zlib1g-dev libcrypt-dev libseccomp-dev prometheus curl systemd openssl apache2-utils"
exporter_all="prometheus-node-exporter"
coverage="gcovr"
# The monitoring mixin: jsonnet renders it (make mixin); make check renders it
# again and runs promtool on its rules.
mixin="jsonnet"
# The Kubernetes manifests' validation (make check): node runs the validator
# that npm installs from the registry (npm comes with the nodejs package
# installed here). kubectl renders the manifests; it comes from Kubernetes'
# own packages, not Debian's, and the test is skipped without it.
kubernetes="nodejs"
# make image: umoci writes the image, jq its index and SBOM, skopeo reads it
# back in make check-all, whose podman test makes the guest's disk with
# mkfs.ext4 and speaks to QEMU's monitor with socat.
image="umoci jq skopeo e2fsprogs g++-aarch64-linux-gnu qemu-user socat"
# make demo: volscan and the test bed that emulates the devices (umockdev,
# and GoogleTest, which the bed's machine of many volumes links); where it may,
# the exporter's libraries and curl to scrape it (demo-exporter).
demo="cmake make g++ pkg-config umockdev libumockdev-dev libgtest-dev"
demo_exporter="libmicrohttpd-dev libgnutls28-dev libyaml-dev zlib1g-dev libcrypt-dev libseccomp-dev curl"
# make bench-fleet: Prometheus scrapes a synthetic fleet; curl and jq ask it,
# ss finds free ports, gnuplot draws the plot.
bench="prometheus curl jq iproute2 gnuplot-nox"

wanted=""
for set in "${@:-check}"; do
    case "$set" in
        build) wanted="$wanted $build" ;;
        demo) wanted="$wanted $demo" ;;
        demo-exporter) wanted="$wanted $demo_exporter" ;;
        check) wanted="$wanted $build $check $exporter $mixin $kubernetes" ;;
        all) wanted="$wanted $build $check $exporter $mixin $kubernetes $all $exporter_all $image" ;;
        packages) wanted="$wanted $build $packages" ;;
        coverage) wanted="$wanted $build $check $coverage" ;;
        mixin) wanted="$wanted $mixin" ;;
        kubernetes) wanted="$wanted $kubernetes" ;;
        image) wanted="$wanted $build $image" ;;
        exporter) wanted="$wanted $exporter" ;;
        bench) wanted="$wanted $bench" ;;
        *) wanted="$wanted $set" ;;
    esac
done

missing=""
for package in $wanted; do
    if ! dpkg-query -W -f '${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "volscan needs these Debian packages; as root, run:" >&2
    echo "  apt-get install -y$missing" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
