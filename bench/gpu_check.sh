#!/usr/bin/env bash
# One command for every GPU figure: builds the engine with the Vulkan backend, runs the GPU tests
# (every kernel and operation against the CPU, the backend's rules and failure paths, the GPU
# transcript against the CPU's) and the GPU benchmark, on whatever Vulkan device the machine has.
# Needs cmake, ninja, a C++20 compiler, libopenblas-dev, libvulkan-dev, glslang-dev, googletest
# and a Vulkan driver (scripts/install-deps.sh installs all but the GPU driver).
#   bench/gpu_check.sh [BUILD_DIR]        (default build-gpu-check)
# ORVANE_GPU_ALLOW_CPU=1 makes it run on Mesa's CPU implementation (then pass GPU_SPEED_ARGS=
# "--scale 4" to keep the benchmark short).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-gpu-check}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_VULKAN=ON
cmake --build "$build" --target gpu_kernels_test gpu_backend_test orvane_cli_test orvane_cli \
  orvane-mkmodel gpu-speed
command -v vulkaninfo >/dev/null && vulkaninfo --summary 2>/dev/null | grep -E "deviceName|driverInfo" || true
"$build/tests/gpu_kernels_test"
"$build/tests/gpu_backend_test"
"$build/tests/orvane_cli_test" --gtest_filter='*gpu*'
# shellcheck disable=SC2086
"$build/bench/gpu-speed" ${GPU_SPEED_ARGS:-}
