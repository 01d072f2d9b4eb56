# Thin wrapper over CMake.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
# The benchmarks build apart from the normal build; BENCH_ARGS go to the
# benchmark program, e.g. BENCH_ARGS=--benchmark_filter=800x640.
BENCH_BUILD ?= build-bench
BENCH_ARGS ?=

# Leak checking on; the suppression file covers only the program's deliberate
# keeping of its image and regions until it exits.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0

.PHONY: all configure deps run test sanitize-build sanitize-test determinism fuzz clean
.PHONY: bench bench-build bench-compare bench-memory bench-matching

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

deps:
	scripts/install-deps

# Builds only the program it runs.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target tolvane.ln
	./$(BUILD)/tolvane.ln data/astronaut.pgm

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize-build: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DTOLVANE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

sanitize-test: sanitize-build
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# Byte-identical output across runs and between the Release and sanitizer builds.
determinism: all sanitize-build
	scripts/check-determinism $(BUILD) $(ASAN_BUILD)

# Coverage-guided fuzzing of PGM reading and both detectors for FUZZ_SECONDS.
fuzz:
	fuzz/run.sh $(FUZZ_SECONDS)

# Per image size: every stage of the detector and the whole detection; then
# descriptors and matching.
bench: bench-build
	./$(BENCH_BUILD)/bench/detector_bench $(BENCH_ARGS)
	./$(BENCH_BUILD)/bench/describe_bench $(BENCH_ARGS)

bench-build:
	scripts/install-deps libbenchmark-dev
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target detector_bench describe_bench peak_memory tolvane.ln

# Before/after table against the first straightforward version (git tag baseline).
bench-compare:
	scripts/install-deps libbenchmark-dev
	JOBS=$(JOBS) bench/compare-baseline $(BENCH_ARGS)

# Correct matches, inliers and matching score of tolvane and OpenCV's SIFT and
# AKAZE on synthetic view pairs (a Markdown table).
bench-matching: bench-build
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target matching_benchmark
	./$(BENCH_BUILD)/bench/matching_benchmark

# Peak memory on the 4000 x 3000 image.
bench-memory: bench-build
	bench/peak-memory $(BENCH_BUILD)

clean:
	rm -rf $(BUILD) $(BENCH_BUILD) $(ASAN_BUILD) build-fuzz
