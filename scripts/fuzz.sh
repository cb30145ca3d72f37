#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (ASan + UBSan) and runs each for SECONDS (default 30)
# through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANE_FUZZ=ON -DORVANE_TESTS=OFF -DORVANE_BENCH=OFF -DORVANE_FUZZ_SECONDS="$seconds"
cmake --build build-fuzz --target $(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
ctest --test-dir build-fuzz --output-on-failure
