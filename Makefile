# SPDX-License-Identifier: BSD-2-Clause
# Front door for GNU make and BSD make alike; the build itself is CMake's.
#   make            build volscan in build/
#   make demo       build quietly, then show volscan at work on an emulated
#                   machine of four EBS volumes, one throttled: top, id,
#                   stats and one scrape of the exporter; installs only the
#                   compiler, CMake, umockdev and GoogleTest where missing
#                   (and, as root, the exporter's libraries)
#   make demo-exporter  the exporter on that machine, left running
#   make check      install missing packages, build with g++ and clang++
#                   (warnings are errors) and run every quick test, the
#                   sanitizer build included; cross build for FreeBSD 14
#                   amd64 and aarch64 (compiled and linked only), and for
#                   Linux aarch64 with the unit tests under qemu-user
#   make check-all  make check, then the fuzzers briefly, valgrind,
#                   volscan under a real Linux kernel in QEMU (x86_64 and
#                   aarch64), and builds in fresh Debian 11 and 13 roots
#   make fuzz       run each fuzzer for FUZZ_SECONDS
#   make fuzz-long  run each fuzzer to FUZZ_RUNS executions, one after the
#                   other, at the lowest priority (ten million: some minutes
#                   for trim_field, most of an hour for the other two)
#   make bench      the polling pass benchmark, the start-up cost and the
#                   exporter's scrape of slow devices, serial against parallel
#   make bench-fleet  what a fleet of 50 to 500 nodes costs the Prometheus
#                   that watches it (about an hour: docs/performance.md),
#                   into build-bench/fleet; part of make bench
#   make coverage   run the quick tests on a g++ build with gcov's line counts
#                   and print gcovr's table of the lines of src/ that ran
#   make install    PREFIX=/usr/local DESTDIR=
#   make uninstall  removes what the last make install wrote
#   make packages   the .debs and the .rpms, into $(PACKAGES)/dist
#   make mixin      render monitoring/'s rules, alerts and dashboard, and
#                   deploy/kubernetes's PrometheusRule, again from its
#                   jsonnet (make check fails while they differ)
#   make dist       volscan-VERSION.tar.gz of the committed tree (git archive)
#   make image      the container image for amd64 and arm64, as oci-archives in
#                   build-image/ (podman load -i FILE), one archive with both
#                   (skopeo copy --all) and their SBOM; docs/kubernetes.md

CMAKE ?= cmake
CTEST ?= ctest
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= 2
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?= 10000000
PACKAGES ?= build-packages

all: build

configure:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: configure
	$(CMAKE) --build $(BUILD) -j $(JOBS)

deps:
	sh tools/install-deps.sh check

# The emulated machine is the test bed's: tools/demo.sh sets up and builds
# volscan, the bed and the exporter alone, its log in build-demo.
demo:
	JOBS=$(JOBS) sh tools/demo.sh build-demo

demo-exporter:
	JOBS=$(JOBS) sh tools/demo.sh -e build-demo

check: deps
	sh tests/cross/freebsd.sh amd64
	sh tests/cross/freebsd.sh aarch64
	sh tests/install/freebsd_plist.sh build-freebsd-amd64 packaging/freebsd/sysutils/volscan
	sh tests/install/freebsd_plist.sh build-freebsd-aarch64 packaging/freebsd/sysutils/volscan
	sh tests/cross/linux-aarch64.sh
	$(CMAKE) -S . -B build-check -DVOLSCAN_TESTS=ON -DVOLSCAN_WERROR=ON -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
	$(CMAKE) --build build-check -j $(JOBS)
	$(CMAKE) -S . -B build-clang -DVOLSCAN_TESTS=ON -DVOLSCAN_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	$(CMAKE) --build build-clang -j $(JOBS)
	$(CMAKE) -S . -B build-asan -DVOLSCAN_TESTS=ON -DVOLSCAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-check && $(CTEST) --output-on-failure -j $(JOBS) -LE slow
	cd build-asan && $(CTEST) --output-on-failure -j $(JOBS) -LE slow

check-all:
	sh tools/install-deps.sh all
	$(MAKE) check
	$(CMAKE) -S . -B build-check
	cd build-check && $(CTEST) --output-on-failure -L memcheck
	cd build-clang && $(CTEST) --output-on-failure -L slow -LE memcheck
	sh tests/roots/fresh-build.sh bullseye
	sh tests/roots/fresh-build.sh trixie

fuzz: deps
	$(CMAKE) -S . -B build-clang -DVOLSCAN_TESTS=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	$(CMAKE) --build build-clang -j $(JOBS)
	sh tests/fuzz/run.sh build-clang $(FUZZ_SECONDS)

fuzz-long: deps
	$(CMAKE) -S . -B build-clang -DVOLSCAN_TESTS=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	$(CMAKE) --build build-clang -j $(JOBS)
	nice -n 19 sh tests/fuzz/run.sh -n $(FUZZ_RUNS) build-clang 0

bench: deps
	$(CMAKE) -S . -B build-bench -DVOLSCAN_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build-bench -j $(JOBS)
	build-bench/tests/bench/stats_bench
	sh tests/startup/measure.sh build-bench
	if [ -x build-bench/tests/exporter/exporter_bench ]; then build-bench/tests/exporter/exporter_bench; fi
	if [ -x build-bench/tests/kubernetes/footprint_bench ]; then build-bench/tests/kubernetes/footprint_bench; fi
	$(MAKE) bench-fleet

bench-fleet:
	sh tools/install-deps.sh build exporter bench
	$(CMAKE) -S . -B build-bench -DVOLSCAN_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build-bench -j $(JOBS) --target fleet_server
	timeout 6000 sh tests/bench/fleet/run.sh build-bench build-bench/fleet

coverage: deps
	sh tools/install-deps.sh coverage
	$(CMAKE) -S . -B build-coverage -DVOLSCAN_TESTS=ON -DVOLSCAN_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
	$(CMAKE) --build build-coverage -j $(JOBS)
	find build-coverage -name '*.gcda' -delete
	cd build-coverage && $(CTEST) --output-on-failure -j $(JOBS) -LE slow
	gcovr --root . --filter src/ build-coverage

install: build
	DESTDIR=$(DESTDIR) $(CMAKE) --install $(BUILD) --prefix $(PREFIX)

uninstall:
	DESTDIR=$(DESTDIR) $(CMAKE) --build $(BUILD) --target uninstall

packages:
	sh tools/install-deps.sh packages
	sh packaging/build-packages.sh . $(PACKAGES)/build $(PACKAGES)/dist

mixin:
	sh tools/install-deps.sh mixin
	sh monitoring/generate.sh

dist:
	sh tools/dist.sh

image:
	sh tools/install-deps.sh image
	bash tools/image.sh build-image

clean:
	rm -rf build build-check build-clang build-asan build-bench build-demo build-freebsd-* build-aarch64 build-coverage build-image

.PHONY: all configure build deps demo demo-exporter check check-all fuzz bench install clean
.PHONY: uninstall packages fuzz-long coverage mixin dist image bench-fleet
