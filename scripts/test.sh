#!/usr/bin/env bash
# The project's test command: installs and builds (scripts/setup.sh), checks the
# formatting, then runs every test in the normal build and in an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and runs each fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
jobs=$(nproc)

echo "== setup and build"
BUILD_DIR="$BUILD_DIR" scripts/setup.sh

echo "== formatting"
files=$(git ls-files -- '*.cpp' '*.h' 2>/dev/null || find src tests bench fuzz -name '*.cpp' -o -name '*.h')
clang-format --dry-run --Werror $files

echo "== tests"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$jobs"

echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B "$BUILD_DIR-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRAVELCON_SANITIZE=ON \
  -DRAVELCON_BENCH=OFF >/dev/null
ninja -C "$BUILD_DIR-asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$BUILD_DIR-asan" --output-on-failure -j "$jobs"

echo "== fuzz targets (brief runs)"
CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DRAVELCON_FUZZ=ON >/dev/null
ninja -C "$BUILD_DIR-fuzz" -j "$jobs"
for target in "$BUILD_DIR-fuzz"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$root/fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "-- $name"
  "$target" -max_total_time="${FUZZ_SECONDS:-20}" -max_len=65536 -timeout=10 "$work" 2>&1 | tail -n 2
  rm -rf "$work"
done
echo "all tests passed"
