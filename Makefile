# The two commands of the README: `make run` and `make test`.
BUILD ?= build
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 5
JOBS ?= $(shell nproc)

.PHONY: all bootstrap build test fuzz run clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DTAVELIN_WERROR=ON

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@if command -v clang++ >/dev/null; then $(MAKE) --no-print-directory fuzz; \
	 else echo "clang++ not found: fuzz targets skipped"; fi

# Each fuzz target runs for FUZZ_SECONDS under AddressSanitizer and UBSan.
fuzz: bootstrap
	@test -f $(FUZZ_BUILD)/build.ninja || CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVELIN_FUZZ=ON -DTAVELIN_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure

run: bootstrap
	@echo "The Tavelin application arrives with a later change; today 'make test' builds and checks its core."

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
