# Thin wrapper over CMake. `make demo` runs the demo on the simulated
# keyboard; `make test` builds everything and runs every test.
JOBS ?= $(shell nproc)
# What the demo needs: the library, the simulator and the two jars. `make
# demo` builds only these (no test programs), so a fresh clone runs it fast.
DEMO_TARGETS = nativelayer trvsim tarvel_jpos tarvel_jpos_demo

.PHONY: all build demo test bench asan tsan soak soak-hour fuzz kernel-test clean

all: build

build:
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo:
	cmake --preset default
	@echo "make demo: building $(DEMO_TARGETS)"
	cmake --build --preset default -j $(JOBS) --target $(DEMO_TARGETS)
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

# The seeded soak (CTest label soak, left out of `make test`): in a JVM with
# -Xcheck:jni and in process under TSan at once, then in process under
# ASan+UBSan, SOAK_SECONDS each. A failure prints its seed; replay it with
# TRV_SOAK_SEED=<seed>. `make soak-hour` runs the JVM and TSan soaks for an
# hour each.
SOAK_SECONDS ?= 120
soak: build
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target trv_soak
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS) --target trv_soak
	TRV_SOAK_SECONDS=$(SOAK_SECONDS) setarch -R ctest --test-dir build-tsan -L soak --output-on-failure & \
	tsan=$$!; \
	TRV_SOAK_SECONDS=$(SOAK_SECONDS) ctest --test-dir build -L soak --output-on-failure; other=$$?; \
	wait $$tsan && [ $$other = 0 ]
	TRV_SOAK_SECONDS=$(SOAK_SECONDS) ctest --test-dir build-asan -L soak --output-on-failure

soak-hour: build
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target trv_soak
	TRV_SOAK_SECONDS=3600 setarch -R ctest --test-dir build-tsan -L soak --output-on-failure & \
	tsan=$$!; \
	TRV_SOAK_SECONDS=3600 ctest --test-dir build -L soak -R jvm --output-on-failure; other=$$?; \
	wait $$tsan && [ $$other = 0 ]

fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

clean:
	rm -rf build build-asan build-tsan build-fuzz
