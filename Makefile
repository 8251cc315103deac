# Front door for GNU make and BSD make alike; the build itself is CMake's.
#   make            build volscan in build/
#   make demo       build, then show volscan at work (on an emulated volume
#                   where this machine has no EBS volume)
#   make check      install missing packages, build with g++ and clang++
#                   (warnings are errors) and run every quick test, the
#                   sanitizer build included
#   make check-all  make check, then the fuzzers briefly, valgrind, and
#                   volscan under a real Linux kernel in QEMU
#   make fuzz       run each fuzzer for FUZZ_SECONDS
#   make fuzz-long  run each fuzzer to FUZZ_RUNS executions, one after the
#                   other, at the lowest priority (ten million: some minutes
#                   for trim_field, most of an hour for the other two)
#   make bench      the polling pass benchmark and the start-up cost
#   make coverage   run the quick tests on a g++ build with gcov's line counts
#                   and print gcovr's table of the lines of src/ that ran
#   make install    PREFIX=/usr/local DESTDIR=

CMAKE ?= cmake
CTEST ?= ctest
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= 2
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?= 10000000

all: build

configure:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: configure
	$(CMAKE) --build $(BUILD) -j $(JOBS)

deps:
	sh tools/install-deps.sh check

demo: deps build
	sh tools/demo.sh $(BUILD)

check: deps
	$(CMAKE) -S . -B build-check -DVOLSCAN_WERROR=ON -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
	$(CMAKE) --build build-check -j $(JOBS)
	$(CMAKE) -S . -B build-clang -DVOLSCAN_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	$(CMAKE) --build build-clang -j $(JOBS)
	$(CMAKE) -S . -B build-asan -DVOLSCAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-check && $(CTEST) --output-on-failure -j $(JOBS) -LE slow
	cd build-asan && $(CTEST) --output-on-failure -j $(JOBS) -LE slow

check-all:
	sh tools/install-deps.sh all
	$(MAKE) check
	$(CMAKE) -S . -B build-check
	cd build-check && $(CTEST) --output-on-failure -L memcheck
	cd build-clang && $(CTEST) --output-on-failure -L slow -LE memcheck

fuzz: deps
	$(CMAKE) -S . -B build-clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	$(CMAKE) --build build-clang -j $(JOBS)
	sh tests/fuzz/run.sh build-clang $(FUZZ_SECONDS)

fuzz-long: deps
	$(CMAKE) -S . -B build-clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	$(CMAKE) --build build-clang -j $(JOBS)
	nice -n 19 sh tests/fuzz/run.sh -n $(FUZZ_RUNS) build-clang 0

bench: deps
	$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build-bench -j $(JOBS)
	build-bench/tests/bench/stats_bench
	sh tests/startup/measure.sh build-bench

coverage: deps
	sh tools/install-deps.sh coverage
	$(CMAKE) -S . -B build-coverage -DVOLSCAN_TESTS=ON -DVOLSCAN_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
	$(CMAKE) --build build-coverage -j $(JOBS)
	find build-coverage -name '*.gcda' -delete
	cd build-coverage && $(CTEST) --output-on-failure -j $(JOBS) -LE slow
	gcovr --root . --filter src/ build-coverage

install: build
	DESTDIR=$(DESTDIR) $(CMAKE) --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf build build-check build-clang build-asan build-bench build-coverage

.PHONY: all configure build deps demo check check-all fuzz fuzz-long bench coverage install clean
