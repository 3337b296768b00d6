# SPDX-License-Identifier: Apache-2.0
# Quick start: `make demo` prints the sample labels, `make test` builds and runs every test.
# `make windows` cross-builds the two 32-bit Windows DLLs and checks their tables,
# `make windows64` the two 64-bit ones;
# `make test32` builds and runs every test as a 32-bit Linux build (natively, or under
# qemu-i386 where the kernel runs no 32-bit code; TQ33_M32_EMULATE=1 forces that way).
# `make wine` prints a set of documents through the shipped 32-bit and 64-bit TQ33KV.DLL
# under Wine and compares the bytes with the Linux build's (32-bit Wine under qemu-i386
# where the kernel runs no 32-bit code, or with TQ33_M32_EMULATE=1; 64-bit Wine natively).
# Every target that builds first installs the Debian packages it needs and lacks
# (scripts/setup.sh, the one list of them).
# Installation: `make install` (PREFIX, default /usr/local, and DESTDIR as usual) installs the
# tool, the filter in CUPS's filter directory and the PPD in CUPS's model directory;
# `make uninstall` removes what it installed; `make package` builds the Debian package
# (build/package/printer-driver-tq33_*.deb).
# Reliability: `make fuzz` fuzzes every outside input (FUZZ_SECONDS per target, default 60,
# in FUZZ_JOBS processes at once, default one a core),
# `make fuzz-ci` runs the fuzzers over their corpora and briefly on fresh inputs, `make tsan`
# runs the concurrency tests under ThreadSanitizer.
# Mutation runs (scripts/mutants.py, in its own copy of the tree under build/mutation/):
# `make mutants` runs every mutant of the driver core (hours; MUTANTS_ARGS adds options,
# e.g. --resume, --files settings/ or --sample 200), `make mutants-ci` a short sample.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
MUTANTS_SEED ?= 1

.PHONY: all demo test test32 windows windows64 wine bench clean fuzz fuzz-build fuzz-ci tsan install \
	uninstall package mutants mutants-ci

all: test

# The packages are checked before a preset is configured, so that a fresh machine's first
# `make demo` finds CMake and the libraries in place.
build/dev/CMakeCache.txt:
	./scripts/setup.sh test
	cmake --preset dev

build/release/CMakeCache.txt:
	./scripts/setup.sh build
	cmake --preset release

build/windows/CMakeCache.txt:
	./scripts/setup.sh windows
	cmake --preset windows

build/windows64/CMakeCache.txt:
	./scripts/setup.sh windows64
	cmake --preset windows64

test: build/dev/CMakeCache.txt
	./scripts/setup.sh test
	cmake --build --preset dev -j $(JOBS)
	ctest --preset dev -j $(JOBS) || { ./scripts/failed_tests.py build/dev; exit 1; }

# The build itself runs scripts/check_dll_tables.py on both DLLs (target check_dll_tables).
windows: build/windows/CMakeCache.txt
	./scripts/setup.sh windows
	cmake --build --preset windows -j $(JOBS)

windows64: build/windows64/CMakeCache.txt
	./scripts/setup.sh windows64
	cmake --build --preset windows64 -j $(JOBS)

test32:
	./scripts/test32.sh $(JOBS)

wine:
	./scripts/wine.sh $(JOBS)

# The demo also builds the CUPS filter, for the README's "Printing from Linux".
demo: build/release/CMakeCache.txt
	./scripts/setup.sh build
	cmake --build --preset release -j $(JOBS) --target tq33 rastertotq33
	./scripts/demo.sh build/release/bin

# What the install rules install; the prefix is part of the run paths, so it is configured.
INSTALLED_TARGETS = tq33 tq33codecs rastertotq33 tq33-printer-app tq33modeldata tq33_ppd tq33_man_pages \
	tq33_doc_files

install: build/release/CMakeCache.txt
	./scripts/setup.sh build
	cmake --preset release -DCMAKE_INSTALL_PREFIX=$(PREFIX) > /dev/null
	cmake --build --preset release -j $(JOBS) --target $(INSTALLED_TARGETS)
	DESTDIR="$(DESTDIR)" cmake --install build/release

uninstall:
	DESTDIR="$(DESTDIR)" cmake -P build/release/uninstall.cmake

build/package/CMakeCache.txt:
	./scripts/setup.sh package
	cmake --preset package

package: build/package/CMakeCache.txt
	./scripts/setup.sh package
	cmake --build --preset package -j $(JOBS) --target $(INSTALLED_TARGETS)
	cpack --preset package

bench: build/release/CMakeCache.txt
	./scripts/setup.sh build
	cmake --build --preset release -j $(JOBS) --target tq33_bench
	./build/release/bin/tq33_bench

build/fuzz/CMakeCache.txt:
	./scripts/setup.sh fuzz
	cmake --preset fuzz

build/tsan/CMakeCache.txt:
	./scripts/setup.sh test
	cmake --preset tsan

fuzz-build: build/fuzz/CMakeCache.txt
	./scripts/setup.sh fuzz
	cmake --build --preset fuzz -j $(JOBS)

fuzz: fuzz-build
	./fuzz/run.sh $(FUZZ_SECONDS)

# Seven targets over their corpora and 5 s of fresh inputs each: well under two minutes.
fuzz-ci: fuzz-build
	./fuzz/run.sh --ci 5

tsan: build/tsan/CMakeCache.txt
	./scripts/setup.sh test
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS) || { ./scripts/failed_tests.py build/tsan; exit 1; }

MUTANTS_ARGS ?=

mutants:
	./scripts/setup.sh mutants
	./scripts/mutants.py $(MUTANTS_ARGS)

# A sample CI can afford: on a fresh machine one build of the core and its own tests (the
# preset mutants-core: no tool, filter or printer application; the mutants run in it too),
# then the sample: about two minutes in all on two cores, the build nearly all of it; the
# time limit (setup included) holds it on a slower machine.
MUTANTS_CI_SAMPLE ?= 20
MUTANTS_CI_MINUTES ?= 4
mutants-ci:
	./scripts/setup.sh mutants
	./scripts/mutants.py --one-build --coverage-preset mutants-core --work build/mutation-ci \
	  --sample $(MUTANTS_CI_SAMPLE) --seed $(MUTANTS_SEED) --catchers first --run-minutes $(MUTANTS_CI_MINUTES)

clean:
	rm -rf build out
