#!/usr/bin/env bash
# One command for every GPU figure: builds the engine with the Vulkan backend, runs the GPU tests
# (every kernel and operation against the CPU, the backend's rules and failure paths, the fused
# passes against the CPU path, the GPU transcript against the CPU's; all under the validation
# layer, and once more with staged uploads), the GPU benchmark (copy bandwidth, the INT8 product
# against it, the encoder's half products in GFLOP/s), and orvane-bench on a full-size generated
# model (60 s of audio, loaded without and then with int8_cache.bin: real-time factor, first
# token, encoder GFLOP/s, the decoder step at 256, 2048 and 8192 cached keys against the INT8
# floor, device memory), on whatever Vulkan device the machine has.
# Needs cmake, ninja, a C++20 compiler, libopenblas-dev, libvulkan-dev, glslang-dev, googletest
# and a Vulkan driver (scripts/install-deps.sh installs all but the GPU driver).
#   bench/gpu_check.sh [BUILD_DIR]        (default build-gpu-check)
# ORVANE_GPU_ALLOW_CPU=1 makes it run on Mesa's CPU implementation (then pass GPU_SPEED_ARGS=
# "--scale 4" to keep the benchmark short, and FULL_MODEL=0 to skip the full-size model).
# The full-size model (about 9 GB) is written under FULL_MODEL_DIR (default $build/full-model).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-gpu-check}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_VULKAN=ON
cmake --build "$build" --target gpu_kernels_test gpu_backend_test gpu_passes_test orvane_cli_test \
  orvane_cli orvane-mkmodel gpu-speed orvane-bench
command -v vulkaninfo >/dev/null && vulkaninfo --summary 2>/dev/null | grep -E "deviceName|driverInfo" || true
for staged in 0 1; do
  ORVANE_GPU_AS_DISCRETE=$staged "$build/tests/gpu_kernels_test"
  ORVANE_GPU_AS_DISCRETE=$staged "$build/tests/gpu_backend_test"
  ORVANE_GPU_AS_DISCRETE=$staged "$build/tests/gpu_passes_test"
done
"$build/tests/orvane_cli_test" --gtest_filter='*gpu*'
# shellcheck disable=SC2086
"$build/bench/gpu-speed" ${GPU_SPEED_ARGS:-}

if [ "${FULL_MODEL:-1}" != 0 ]; then
  model=${FULL_MODEL_DIR:-$build/full-model}
  [ -f "$model/consolidated.safetensors" ] || "$build/tools/orvane-mkmodel" --shape full "$model"
  rm -f "$model/int8_cache.bin"
  echo "orvane-bench, full model, first load (quantises, writes int8_cache.bin):"
  "$build/bench/orvane-bench" -d "$model" --seconds 60
  echo "orvane-bench, full model, second load (reads int8_cache.bin):"
  "$build/bench/orvane-bench" -d "$model" --seconds 60
fi
