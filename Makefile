# The two commands of the README: `make run` and `make test`.
BUILD ?= build
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 5
JOBS ?= $(shell nproc)

.PHONY: all bootstrap build test e2e fuzz soak bench run package package-test clean
.PHONY: sanitize sanitize-asan sanitize-tsan

all: build

bootstrap:
	@scripts/bootstrap

# Configuring again is quick and keeps warnings fatal even in an older build folder.
build: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DTAVELIN_WERROR=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory e2e
	@if command -v clang++ >/dev/null; then $(MAKE) --no-print-directory fuzz; \
	 else echo "clang++ not found: fuzz targets skipped"; fi
	$(MAKE) --no-print-directory sanitize-asan
	$(MAKE) --no-print-directory package-test

# The receiver page in headless Chromium against the real program, inside a private
# network namespace (scripts/e2e).
e2e: build
	TAVELIN_PROGRAM=$(BUILD)/program/tavelin scripts/e2e

# Each fuzz target runs for FUZZ_SECONDS under AddressSanitizer and UBSan.
fuzz: bootstrap
	@CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAVELIN_WERROR=ON -DTAVELIN_FUZZ=ON -DTAVELIN_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure

# The test suite built with sanitizers, each in its own folder (tests/sanitizers holds
# their options, built into every program, and the suppressions of libraries' own leaks
# and races). -O1 keeps the reports' stacks whole and the build quicker than -O2.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
SANITIZE_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" -DTAVELIN_WERROR=ON

# `make test` runs the ASan suite; the TSan one only runs here.
sanitize: sanitize-asan sanitize-tsan

# Every ctest test under AddressSanitizer, LeakSanitizer and UBSan.
sanitize-asan: bootstrap
	@cmake -S . -B $(ASAN_BUILD) -G Ninja $(SANITIZE_FLAGS) -DTAVELIN_SANITIZE=address,undefined >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The tests of the threaded parts (engine, server, streaming, input, X11) under
# ThreadSanitizer; only their programs are built.
sanitize-tsan: bootstrap
	@cmake -S . -B $(TSAN_BUILD) -G Ninja $(SANITIZE_FLAGS) -DTAVELIN_SANITIZE=thread >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tavelin_tests
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)

# Long runs, not part of `make test`: each fuzz target for 10 million executions or 30
# minutes (SOAK_RUNS, SOAK_SECONDS shorten it), the load and host-fault tests at full
# size, and 100 receivers one after another.
soak: build
	FUZZ_BUILD=$(FUZZ_BUILD) scripts/soak-fuzz
	TAVELIN_PROGRAM=$(BUILD)/program/tavelin scripts/soak
	E2E_CYCLES=100 E2E_FILES="cycles.test.mjs" TAVELIN_PROGRAM=$(BUILD)/program/tavelin scripts/e2e

# Benchmarks build with optimisation in their own folder and print their figures.
bench: bootstrap
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELIN_TESTS=OFF -DTAVELIN_BENCH=ON >/dev/null
	cmake --build build-bench -j $(JOBS)
	build-bench/bench/tavelin_core_bench
	build-bench/bench/tavelin_capture_bench
	TAVELIN_PROGRAM=build-bench/program/tavelin bench/e2e/run

# The Debian package, tavelin_<version>_<arch>.deb in this folder: `apt install ./tavelin_*.deb`.
package: build
	rm -f tavelin_*.deb $(BUILD)/tavelin_*.deb
	cd $(BUILD) && cpack -G DEB
	mv $(BUILD)/tavelin_*.deb .

# Installs that package on this machine with apt, checks and runs it, and purges it.
package-test: package
	TAVELIN_WITH_X_SERVER=$(BUILD)/tests/tavelin_with_x_server scripts/package-test tavelin_*.deb

# The window on a desktop; without one, headless on Tavelin's own X server, sharing at once.
run: build
	@if [ -n "$$DISPLAY" ]; then $(BUILD)/program/tavelin $(ARGS); \
	 else $(BUILD)/program/tavelin --headless --start $(ARGS); fi

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD) build-bench $(ASAN_BUILD) $(TSAN_BUILD)
