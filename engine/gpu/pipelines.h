// Every compute pipeline of the GPU backend, described by one table: the 18 kernels of the
// catalogue in their fixed order, then the matrix-product variants. Shaders are compiled from
// the embedded GLSL at start-up; pipelines go through a VkPipelineCache kept on disk.
#ifndef ORVANE_GPU_PIPELINES_H
#define ORVANE_GPU_PIPELINES_H

#include <vulkan/vulkan.h>

#include <array>
#include <string>
#include <vector>

#include "gpu/device.h"

namespace gpu {

enum class Kernel {
  rms_norm,
  silu,
  gelu,
  add_inplace,
  mul_inplace,
  causal_softmax,
  ada_scale_mul,
  argmax_f32,
  rope_apply,
  kv_cache_copy,
  decoder_attention,
  encoder_attention,
  bias_add,
  batched_rope_apply,
  batched_kv_cache_copy,
  deinterleave,
  silu_mul_merged,
  int8_matmul,
  gemm_f16,       // Y = X * W^T, W half; 64 x 64 tiles
  gemm_f16_rows,  // the same for few rows (M <= 16): 16 x 128 tiles
  gemm_f32,       // W float, either orientation
  kv_to_half,     // float rows into the device's half-precision key/value caches
  kv_store,       // new rows into a half cache copy and, rounded alike, its host array
  decoder_attention_split,  // one query, keys spread over workgroups, half caches
  attention_merge,          // combines the split attention kernels' partial results
  encoder_attention_kv16,   // encoder_attention over half caches
  int8_matmul_norm,         // int8_matmul of RMS-normalised input rows
  int8_matmul_norm_silu,     // the same into silu(gate) * up, from gate and up rows in runs of four
  int8_matmul_norm_ada_silu, // the same with the delay conditioning's scale
  rope_kv_store,            // [q | k | v] rows into rotated queries and the caches
  attention_merge_step,     // attention_merge with the decoder step's number of splits
  count
};
constexpr int kCatalogueSize = 18;  // rms_norm .. int8_matmul
constexpr int kKernelCount = static_cast<int>(Kernel::count);
constexpr uint32_t kPushBytes = 64;  // one push-constant range, the largest argument block

const char* kernel_name(Kernel k);

struct Pipeline {
  VkPipeline pipeline = VK_NULL_HANDLE;
  VkPipelineLayout layout = VK_NULL_HANDLE;
  VkDescriptorSetLayout set_layout = VK_NULL_HANDLE;
  uint32_t buffers = 0;  // storage buffers at bindings 0 .. buffers - 1
  uint32_t writes = 0;   // bit b: binding b is written
  uint32_t local_size = 0;
  uint32_t tile_m = 0, tile_n = 0;  // matrix products: the block of Y one workgroup computes
};

class Pipelines {
 public:
  explicit Pipelines(Device& device) : device_(device) {}
  Pipelines(const Pipelines&) = delete;
  Pipelines& operator=(const Pipelines&) = delete;
  ~Pipelines();

  // Compiles every shader and builds every pipeline it can; a shader that does not compile is
  // reported on standard error and its pipeline stays missing. The kernel named by
  // ORVANE_GPU_BREAK_SHADER (a fault-injection hook for tests) is given a source that does not
  // compile.
  void build();
  // Null when the kernel's pipeline is missing.
  const Pipeline* get(Kernel k) const;
  // Every catalogue kernel has its pipeline.
  bool catalogue_complete() const;

 private:
  Device& device_;
  std::array<Pipeline, kKernelCount> pipelines_{};
};

// Compiles GLSL compute source NAME (a file of the embedded shader set) to SPIR-V with DEFINES
// prepended; false with the compiler's log in ERROR.
bool compile_glsl(const char* name, const std::string& source, const char* defines,
                  std::vector<uint32_t>* spirv, std::string* error);

}  // namespace gpu

#endif
