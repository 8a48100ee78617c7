# Quick start: `make run` starts the editor on the bundled sample calendar, `make test` runs
# every test, `make package` builds the Debian package. All install what is missing first.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
# The project's own builds treat warnings as errors; a plain cmake build does not.
WERROR := -DCHRONOLITH_WERROR=ON

.PHONY: deps configure build run test package bench bench-peers fuzz fuzz-smoke sanitize format clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The Debian package of everything `cmake --install` places: $(BUILD)/chronolith_<version>_amd64.deb.
package: build
	@cd $(BUILD) && cpack -G DEB

bench:
	@bash scripts/install-deps.sh --bench
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release $(WERROR) -DCHRONOLITH_BENCH=ON >/dev/null
	@cmake --build build-bench -j $(JOBS) --target benchmarks

# Our readers against every peer on 12-megapixel files: one table of medians and ratios.
bench-peers:
	@bash scripts/install-deps.sh --bench
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release $(WERROR) -DCHRONOLITH_BENCH=ON >/dev/null
	@cmake --build build-bench -j $(JOBS) --target reader_bench tiff_bench
	@/usr/bin/python3 bench/bench_peers.py build-bench/bench/reader_bench bench/data/readers
	@/usr/bin/python3 bench/bench_peers.py build-bench/bench/tiff_bench bench/data/tiff 5 tiff_pillow.py

fuzz:
	@bash scripts/install-deps.sh --fuzz
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR) -DCHRONOLITH_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzzers

# Every fuzz target for FUZZ_SECONDS (default 45) from its seeds; fails on any finding.
fuzz-smoke: fuzz
	@bash scripts/fuzz-smoke.sh build-fuzz

sanitize:
	@$(MAKE) test BUILD=build-asan CMAKE_FLAGS=-DCHRONOLITH_SANITIZE=ON

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD) build-bench build-fuzz build-asan
