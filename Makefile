# Quick start: `make demo` prints the sample labels, `make test` builds and runs every test.
JOBS ?= $(shell nproc)

.PHONY: all demo test bench clean

all: test

build/dev/CMakeCache.txt:
	cmake --preset dev

build/release/CMakeCache.txt:
	cmake --preset release

test: build/dev/CMakeCache.txt
	cmake --build --preset dev -j $(JOBS)
	ctest --preset dev -j $(JOBS)

demo: build/release/CMakeCache.txt
	cmake --build --preset release -j $(JOBS) --target tq33
	./scripts/demo.sh build/release/bin

bench: build/release/CMakeCache.txt
	cmake --build --preset release -j $(JOBS) --target tq33_bench
	./build/release/bin/tq33_bench

clean:
	rm -rf build out
