#!/usr/bin/env bash
# The whole test suite through CTest: the release build, the sanitizer build (ASan + UBSan) and
# the fuzz harnesses (ORVANE_FUZZ_SECONDS each, default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=ON \
  -DORVANE_BENCH=OFF -DORVANE_APP=OFF
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

bash scripts/fuzz.sh "${ORVANE_FUZZ_SECONDS:-30}"
