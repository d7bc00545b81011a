# Thin wrapper over CMake. `make demo` runs the demo on the simulated
# keyboard; `make test` builds everything and runs every test.
JOBS ?= $(shell nproc)

.PHONY: all build demo test bench asan tsan fuzz kernel-test clean

all: build

build:
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo: build
	cmake --build --preset default --target demo

test: build
	ctest --preset default -j $(JOBS)

# Prints the polling loop's figures (cycle period, CPU, allocations,
# latencies) on the simulated keyboard.
bench:
	cmake --preset default
	cmake --build --preset default -j $(JOBS) --target polling_bench
	build/bench/polling_bench

asan:
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

tsan:
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

clean:
	rm -rf build build-asan build-tsan build-fuzz
