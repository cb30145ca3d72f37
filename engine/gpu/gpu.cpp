// GPU backend entry points. No device backend is built yet: the backend never starts, every
// GPU branch of the engine reads orv_gpu_available() == 0 and the CPU paths run.
#include "gpu/gpu.h"

#include <cstdlib>

extern "C" {

int orv_gpu_init(void) { return 0; }

int orv_gpu_available(void) { return 0; }

void *orv_gpu_shared_alloc(size_t bytes) { return std::calloc(1, bytes); }

void orv_gpu_shared_free(void *ptr) { std::free(ptr); }

int orv_gpu_sgemm_bf16(int, int, int, const float *, const uint16_t *, float *) { return -1; }

int orv_gpu_encoder_pass(orv_ctx_t *, float *, int, const float *, int) { return -1; }

int orv_gpu_decoder_prefill(orv_ctx_t *, const float *, int, const float *) { return -1; }

int orv_gpu_decoder_step(orv_ctx_t *, const float *, const float *, float *) { return -1; }

}  // extern "C"
