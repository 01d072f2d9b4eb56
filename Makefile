# Thin wrapper over CMake.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
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

.PHONY: all configure deps run test sanitize-build sanitize-test tsan-test determinism fuzz clean
.PHONY: bench bench-build bench-images bench-process bench-compare bench-memory bench-repeatability bench-matching

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

# OpenCV's sample pair graf1/graf3 for the real-pair match test, fetched once
# into the build tree; offline, that test is skipped.
test: all
	-scripts/fetch-real-pair $(BUILD)/real-pair
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize-build: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DTOLVANE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

sanitize-test: sanitize-build
	-scripts/fetch-real-pair $(ASAN_BUILD)/real-pair
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# The library's threading tests built with ThreadSanitizer, by clang: GCC's
# run-time selected vector variants are resolved before ThreadSanitizer starts.
tsan-test: deps
	scripts/install-deps clang-14 libclang-rt-14-dev
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Release -DTOLVANE_THREAD_SANITIZE=ON \
		-DCMAKE_CXX_COMPILER=clang++-14
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_threads test_parallel test_api
	TSAN_OPTIONS=halt_on_error=1 ./$(TSAN_BUILD)/tests/test_threads
	TSAN_OPTIONS=halt_on_error=1 ./$(TSAN_BUILD)/tests/test_parallel
	TSAN_OPTIONS=halt_on_error=1 ./$(TSAN_BUILD)/tests/test_api --gtest_filter=Api.Concurrent*

# Byte-identical output across runs and between the Release and sanitizer builds.
determinism: all sanitize-build
	scripts/check-determinism $(BUILD) $(ASAN_BUILD)

# Coverage-guided fuzzing of PGM reading and both detectors, the image
# decoders and the region and homography readers, FUZZ_SECONDS per target.
fuzz:
	fuzz/run.sh $(FUZZ_SECONDS)

# Per image size: every stage of the detector and the whole detection; then
# descriptors and matching.
bench: bench-images
	./$(BENCH_BUILD)/bench/detector_bench $(BENCH_ARGS)
	./$(BENCH_BUILD)/bench/describe_bench $(BENCH_ARGS)

BENCH_PACKAGES = libbenchmark-dev python3-skimage-lib libopencv-core-dev libopencv-imgproc-dev \
	libopencv-features2d-dev
bench-build:
	scripts/install-deps $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target detector_bench describe_bench peak_memory photo_mosaic process_bench tolvane.ln

# The photograph mosaics, from 0.25 to 12 megapixels.
BENCH_IMAGES = $(BENCH_BUILD)/bench-images
MOSAIC_SIZES = 512x512 800x640 1280x960 2000x1500 2800x2100 4000x3000
bench-images: bench-build
	./$(BENCH_BUILD)/bench/photo_mosaic $(BENCH_IMAGES)

# Whole-process CPU time of tolvane.ln per mosaic size, beside OpenCV's SIFT
# and AKAZE detection; BENCH_RUNS repetitions, medians. BENCH_BEFORE=PROGRAM
# adds an earlier build of tolvane.ln, run in the same repetitions.
BENCH_RUNS ?= 5
BENCH_BEFORE ?=
bench-process: bench-images
	./$(BENCH_BUILD)/bench/process_bench --runs $(BENCH_RUNS) $(if $(BENCH_BEFORE),--before $(BENCH_BEFORE)) \
		$(BENCH_BUILD)/tolvane.ln \
		$(foreach size,$(MOSAIC_SIZES),$(BENCH_IMAGES)/mosaic-$(size).pgm)

# Before/after table against the first straightforward version (git tag baseline).
bench-compare: bench-images
	TOLVANE_BENCH_IMAGES=$(CURDIR)/$(BENCH_IMAGES) JOBS=$(JOBS) bench/compare-baseline $(BENCH_ARGS)

# Correct matches, inliers and matching score of tolvane and OpenCV's SIFT and
# AKAZE on synthetic view pairs and OpenCV's sample pair graf1/graf3 (Markdown
# tables; the sample pair is left out when it cannot be fetched).
bench-matching: bench-build
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target matching_benchmark
	-scripts/fetch-real-pair $(BENCH_BUILD)/real-pair
	./$(BENCH_BUILD)/bench/matching_benchmark

# Peak memory on the 4000 x 3000 image.
bench-memory: bench-build
	bench/peak-memory $(BENCH_BUILD)

# Repeatability of both modes and of OpenCV's SIFT, AKAZE and MSER on 75
# synthetic pairs and OpenCV's sample pair graf1/graf3, and the time of
# refined against exact mode.
bench-repeatability:
	scripts/install-deps libopencv-core-dev libopencv-imgproc-dev libopencv-features2d-dev
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target repeatability_bench
	-scripts/fetch-real-pair $(BENCH_BUILD)/real-pair
	./$(BENCH_BUILD)/bench/repeatability_bench

clean:
	rm -rf $(BUILD) $(BENCH_BUILD) $(ASAN_BUILD) $(TSAN_BUILD) build-fuzz
