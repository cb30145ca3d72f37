// Starts the GPU backend on whatever Vulkan device the machine has (Mesa's CPU implementation in
// CI), with the pipeline cache in a private directory, under the validation layer: any error it
// reports fails the test program. Sanitizer builds run without the layer, whose own allocations
// the leak checker would report.
#ifndef ORVANE_TEST_GPU_ENV_H
#define ORVANE_TEST_GPU_ENV_H

#include <gtest/gtest.h>

#include <cstdlib>

#include "gpu/device.h"
#include "gpu/gpu.h"
#include "temp_dir.h"

class GpuEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("ORVANE_GPU_ALLOW_CPU", "1", 1);
    setenv("XDG_CACHE_HOME", cache_.path().c_str(), 1);
#ifndef ORVANE_SANITIZED
    setenv("ORVANE_GPU_VALIDATION", "1", 1);
#endif
    ASSERT_EQ(orv_gpu_init(), 1)
        << "no Vulkan device or validation layer (install mesa-vulkan-drivers, vulkan-validationlayers)";
  }
  void TearDown() override {
    orv_gpu_shutdown();
    EXPECT_EQ(gpu::validation_errors(), 0u) << "the validation layer reported errors (above)";
  }

 private:
  TempDir cache_;
};

#endif
