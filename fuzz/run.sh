#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer with address, undefined-behaviour and
# float-cast-overflow checks, Debian's clang 14) and runs each for a while:
#
#   pgm            PGM reading of the library and both detectors
#   netpbm         the tool's PGM/PPM decoder (plain and raw, 8 and 16 bits)
#   png, jpeg      the tool's PNG and JPEG decoders
#   region_file    the reader of every region and frame format
#   homography     the homography reader and its use by repeatability
#
#   fuzz/run.sh [SECONDS [TARGET...]]   (default 60 s each, all targets;
#                                        `make fuzz FUZZ_SECONDS=600`)
#
# Seeds: fuzz/corpus/TARGET (kept in the repository; add any input that once
# failed). New inputs found go to fuzz-corpus-work/TARGET, a failing input to
# build-fuzz/. The executions of each run are printed as "TARGET: N runs".
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(pgm netpbm png jpeg region_file homography)

scripts/install-deps clang-14 libclang-rt-14-dev

out=build-fuzz
mkdir -p "$out/obj"
flags=(-std=c++17 -O1 -g -ffp-contract=off -Wall -Wextra -pthread
       -fsanitize=fuzzer,address,undefined,float-cast-overflow -fno-sanitize-recover=all
       -Iinclude -Isrc/tolvane -Itools/src -Isrc/afflib -I/usr/include/opencv4)
# Every source is compiled once, then each target is linked from the objects
# it needs.
compile() {
  local source="$1" object="$out/obj/$(echo "$1" | tr / _).o"
  [ "$object" -nt "$source" ] || clang++-14 "${flags[@]}" "${@:2}" -c "$source" -o "$object"
  echo "$object"
}

build() {
  local target="$1" sources=() libraries=() defines=()
  case "$target" in
    pgm) ;;
    netpbm|png|jpeg)
      local decoder=decodePng
      [ "$target" = netpbm ] && decoder=decodeNetpbm
      [ "$target" = jpeg ] && decoder=decodeJpeg
      sources=(src/tolvane/image_io.cpp src/tolvane/image.cpp src/tolvane/png_io.cpp src/tolvane/jpeg_io.cpp)
      libraries=(-lpng -ljpeg)
      defines=(-DFUZZ_DECODER="$decoder") ;;
    region_file)
      sources=(tools/src/region_files.cpp tools/src/region_formats.cpp tools/src/frame_formats.cpp
               tools/src/opencv_format.cpp tools/src/linked_extensions.cpp tools/src/extension_table.cpp
               tools/src/model_fit.cpp tools/src/colmap_database.cpp src/tolvane/describe.cpp
               src/tolvane/smoothed_pyramid.cpp src/tolvane/vector_path.cpp src/tolvane/threads.cpp
               src/tolvane/image.cpp)
      libraries=(-lopencv_core -lopencv_calib3d -lsqlite3) ;;
    homography) sources=(tools/src/repeatability.cpp) ;;
    *) echo "run.sh: unknown target $target" >&2; exit 2 ;;
  esac
  local objects=()
  for source in "${sources[@]}" src/afflib/*.cpp; do objects+=("$(compile "$source")"); done
  local main=fuzz/fuzz_$target.cpp
  [ -f "$main" ] || main=fuzz/fuzz_decoder.cpp
  clang++-14 "${flags[@]}" "${defines[@]}" "$main" "${objects[@]}" "${libraries[@]}" -o "$out/fuzz_$target"
}

# The largest image the pgm target runs the detectors on is 96 x 96 (9216
# raster bytes); the decoders refuse images beyond 2^20 pixels. No input
# needs a large allocation: -malloc_limit_mb makes one a failure.
run() {
  local target="$1" dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  mkdir -p "fuzz-corpus-work/$target"
  ASAN_OPTIONS=detect_leaks=1 "$out/fuzz_$target" \
    -max_total_time="$seconds" -max_len=65536 -timeout=20 -malloc_limit_mb=512 -rss_limit_mb=2048 \
    "${dict[@]}" -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$out/$target-" \
    "fuzz-corpus-work/$target" "fuzz/corpus/$target" 2> "$out/$target.log" ||
    { tail -40 "$out/$target.log" >&2; exit 1; }
  echo "$target: $(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$target.log") runs"
}

for target in "${targets[@]}"; do build "$target"; done
for target in "${targets[@]}"; do run "$target"; done
