# The two front doors of the README. Both install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DTALN_WERROR=ON

.PHONY: run test build bootstrap clean test-asan test-tsan fuzz-build fuzz-smoke fuzz-long package

bootstrap:
	bash scripts/bootstrap.sh

build: bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS) --timeout 600

# Sanitizer runs, each in its own build directory (build-asan, build-tsan).
test-asan: bootstrap
	JOBS=$(JOBS) bash scripts/sanitize.sh asan

test-tsan: bootstrap
	JOBS=$(JOBS) bash scripts/sanitize.sh tsan

# The libFuzzer harnesses, built with clang in build-fuzz.
FUZZERS = fuzz_decoder fuzz_engine fuzz_exporter fuzz_video_exporter fuzz_loudness
fuzz-build: bootstrap
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTALN_FUZZ=ON -DTALN_BUILD_UI=OFF -DTALN_BUILD_TESTS=OFF -DTALN_BUILD_BENCH=OFF
	cmake --build build-fuzz -j$(JOBS) --target $(FUZZERS)

# About 20 s of fuzzing every harness, from a fixed seed (CI).
fuzz-smoke: fuzz-build
	bash fuzz/smoke.sh build-fuzz

# Hours: 1,000,000 executions of the decoder, 200,000 of each other harness, going on past
# findings (by hand, not in CI; see fuzz/README). FUZZ_HARNESSES, FUZZ_SCALE: see fuzz/long.sh.
fuzz-long: fuzz-build
	bash fuzz/long.sh build-fuzz

# build/taln_<version>_amd64.deb, then the desktop entry and the metainfo validated.
package: build
	cd $(BUILD) && cpack -G DEB
	bash scripts/check_package.sh $(BUILD)

run: build
	bash scripts/run.sh $(BUILD)

clean:
	rm -rf $(BUILD)
