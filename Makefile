# The newcomer's entry. On a fresh Debian 12 machine:
#   make demo   poll a simulated unit through the plug-in (arrives with the poller)
#   make test   install what is missing, build, run every test
#   make package  the Debian packages for amd64 and armhf, in out/
# Every target does its own set-up (scripts/bootstrap first); nothing else to install.

SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
JOBS  ?= 2
BUILD ?= build
# Extra ctest arguments, e.g. CTEST_FLAGS="-R Gateway" or "--repeat until-pass:2".
CTEST_FLAGS ?=

.DEFAULT_GOAL := help
.PHONY: help demo test bootstrap asan tsan armhf fuzz fuzz-long package ci clean

help:
	@echo "make demo    poll a simulated unit through quillark.so and print its status"
	@echo "make test    bootstrap, build $(BUILD)/ (warnings are errors), run all tests"
	@echo "make asan    AddressSanitizer + UndefinedBehaviorSanitizer build and tests (build-asan/)"
	@echo "make tsan    ThreadSanitizer build and the threaded paths' tests (build-tsan/)"
	@echo "make armhf   the armhf package build with its tests, under qemu-arm (build-pkg-armhf/)"
	@echo "make fuzz    clang build and every fuzz target for FUZZ_SECONDS (build-fuzz/)"
	@echo "make fuzz-long  every fuzz target to FUZZ_RUNS (10^7) executions or FUZZ_LONG_SECONDS, with figures"
	@echo "make package Debian packages quillark-plugin, quillark-tools and quillark-agent, amd64 and armhf (out/)"
	@echo "make ci      everything CI runs (.ci/run)"
	@echo "make clean   remove every build directory"

bootstrap:
	bash scripts/bootstrap

test: bootstrap
	cmake -S . -B $(BUILD) -DQUILLARK_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) $(CTEST_FLAGS)

# The configurations CI runs; .ci/run holds their settings and bootstraps itself.
asan tsan armhf fuzz:
	bash .ci/run $@

fuzz-long: bootstrap
	bash scripts/fuzz-long

# Release builds in build-pkg/ and build-pkg-armhf/; the four .deb files land in out/.
package:
	bash scripts/bootstrap --armhf
	JOBS=$(JOBS) bash scripts/package

ci:
	bash .ci/run

clean:
	rm -rf $(BUILD) build-asan build-tsan build-armhf build-fuzz build-pkg build-pkg-armhf out

# --- demo ---------------------------------------------------------------------
# The main job: the poller loads quillark.so with dlopen, polls the simulated
# unit over loopback TCP, prints the status document readably, and shows one
# confirmed and one refused write. Ends by itself.
demo: bootstrap
	cmake -S . -B $(BUILD) -DQUILLARK_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS) --target quillark quillark-poll quillark-sim
	tools/demo.sh $(BUILD)
