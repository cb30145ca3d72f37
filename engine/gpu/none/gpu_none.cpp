// The engine built without a GPU backend (ORVANE_VULKAN off): the backend never starts, every
// GPU branch reads orv_gpu_available() == 0 and the CPU paths run.
#include <cstdlib>

#include "gpu/gpu.h"

extern "C" {

int orv_gpu_init(void) { return 0; }
int orv_gpu_available(void) { return 0; }
void orv_gpu_shutdown(void) {}
void *orv_gpu_shared_alloc(size_t bytes) { return std::calloc(1, bytes); }
void orv_gpu_shared_free(void *ptr) { std::free(ptr); }
int orv_gpu_sgemm_bf16(int, int, int, const float *, const uint16_t *, float *) { return -1; }
int orv_gpu_sgemm_f32(int, int, int, const float *, const float *, float *) { return -1; }
int orv_gpu_qkv(int, int, const float *, const uint16_t *, int, const uint16_t *, int,
                const uint16_t *, int, float *, float *, float *) {
  return -1;
}
int orv_gpu_ffn(int, int, int, const float *, const uint16_t *, const uint16_t *, const uint16_t *,
                float *) {
  return -1;
}
int orv_gpu_encoder_attention(float *, const float *, const float *, const float *, int, int, int,
                              int, int, float, int, int) {
  return -1;
}
int orv_gpu_attention(float *, const float *, const float *, const float *, int, int, int, int,
                      int, float, int, int) {
  return -1;
}
uint64_t orv_gpu_memory_bytes(void) { return 0; }
uint64_t orv_gpu_allocated_bytes(void) { return 0; }
int orv_gpu_step_dispatches(void) { return 0; }
orv_gpu_step_work_t orv_gpu_step_work(void) { return {0, 0, 0}; }
double orv_gpu_copy_bandwidth_gbs(void) { return 0; }
}  // extern "C"

void orv_gpu_prewarm(const GpuModelWeights &, const orv_int8_table_t *) {}
void orv_gpu_release_model(const GpuModelWeights &) {}
int orv_gpu_encoder_pass(const GpuEncoderWeights &, const GpuKvView &, float *, int, const float *) {
  return -1;
}
int orv_gpu_decoder_prefill(const GpuDecoderWeights &, const GpuKvView &, const float *, int,
                            const float *) {
  return -1;
}
int orv_gpu_decoder_step(const GpuDecoderWeights &, const GpuKvView &, const float *,
                         const float *, float *) {
  return -1;
}
