# Quick start: `make demo` prints the sample labels, `make test` builds and runs every test.
# `make windows` cross-builds the two 32-bit Windows DLLs and checks their tables;
# `make test32` builds and runs every test as a 32-bit Linux build.
# Reliability: `make fuzz` fuzzes every outside input (FUZZ_SECONDS per target, default 60),
# `make fuzz-ci` runs the fuzzers over their corpora and briefly on fresh inputs, `make tsan`
# runs the concurrency tests under ThreadSanitizer.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all demo test test32 windows bench clean fuzz fuzz-build fuzz-ci tsan

all: test

build/dev/CMakeCache.txt:
	cmake --preset dev

build/release/CMakeCache.txt:
	cmake --preset release

build/windows/CMakeCache.txt:
	cmake --preset windows

build/m32/CMakeCache.txt:
	cmake --preset m32

test: build/dev/CMakeCache.txt
	cmake --build --preset dev -j $(JOBS)
	ctest --preset dev -j $(JOBS)

# The build itself runs scripts/check_dll_tables.py on both DLLs (target check_dll_tables).
windows: build/windows/CMakeCache.txt
	cmake --build --preset windows -j $(JOBS)

test32: build/m32/CMakeCache.txt
	cmake --build --preset m32 -j $(JOBS)
	ctest --preset m32 -j $(JOBS)

demo: build/release/CMakeCache.txt
	cmake --build --preset release -j $(JOBS) --target tq33
	./scripts/demo.sh build/release/bin

bench: build/release/CMakeCache.txt
	cmake --build --preset release -j $(JOBS) --target tq33_bench
	./build/release/bin/tq33_bench

build/fuzz/CMakeCache.txt:
	cmake --preset fuzz

build/tsan/CMakeCache.txt:
	cmake --preset tsan

fuzz-build: build/fuzz/CMakeCache.txt
	cmake --build --preset fuzz -j $(JOBS)

fuzz: fuzz-build
	./fuzz/run.sh $(FUZZ_SECONDS)

fuzz-ci: fuzz-build
	./fuzz/run.sh --ci 30

tsan: build/tsan/CMakeCache.txt
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

clean:
	rm -rf build out
