#!/usr/bin/env bash
# Builds the PGM fuzz target (libFuzzer with address, undefined-behaviour and
# float-cast-overflow checks, Debian's clang 14) and runs it for a while.
#
#   fuzz/run.sh [SECONDS]     (default 60; `make fuzz FUZZ_SECONDS=600`)
#
# Seeds: fuzz/corpus (kept in the repository; add any input that once failed).
# New inputs found go to fuzz-corpus-work/, a failing input to build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

scripts/install-deps clang-14 libclang-rt-14-dev

out=build-fuzz
mkdir -p "$out" fuzz-corpus-work
clang++-14 -std=c++17 -O1 -g -ffp-contract=off -Wall -Wextra -pthread \
  -fsanitize=fuzzer,address,undefined,float-cast-overflow -fno-sanitize-recover=all \
  -Iinclude fuzz/fuzz_pgm.cpp src/afflib/*.cpp -o "$out/fuzz_pgm"

# The largest decodable image the target runs the detectors on is 96 x 96
# (9216 raster bytes); -max_len leaves room for long headers. No input needs
# a large allocation: -malloc_limit_mb makes one a failure.
ASAN_OPTIONS=detect_leaks=1 "$out/fuzz_pgm" \
  -max_total_time="$seconds" -max_len=12000 -timeout=20 -malloc_limit_mb=256 \
  -dict=fuzz/pgm.dict -close_fd_mask=1 -print_final_stats=1 \
  -artifact_prefix="$out/" \
  fuzz-corpus-work fuzz/corpus
