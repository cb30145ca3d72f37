// The GPU backend's entry points used inside the engine. orv_gpu_init and orv_gpu_available are
// public (orvane.h).
#ifndef ORVANE_GPU_H
#define ORVANE_GPU_H

#include <stddef.h>
#include <stdint.h>

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Zeroed host-visible memory the GPU passes can use; NULL on failure. Falls back to plain heap
// memory while no backend runs. Release with orv_gpu_shared_free, which also accepts NULL.
ORV_API void *orv_gpu_shared_alloc(size_t bytes);
ORV_API void orv_gpu_shared_free(void *ptr);

// GPU forms of the engine's heavy work. Each returns 0 (or a token id) when it did the work, and a
// negative value when it declined, in which case the caller runs its CPU path on the same input.

// C[M][N] = A[M][K] * W[N][K]^T with BF16 W.
ORV_API int orv_gpu_sgemm_bf16(int m, int n, int k, const float *a, const uint16_t *w, float *c);
// Every encoder layer and the final norm over X [n][enc dim] in place, writing encoder cache rows
// cache_start .. cache_start + n - 1. ROPE is the rotary table of the n positions.
ORV_API int orv_gpu_encoder_pass(orv_ctx_t *ctx, float *x, int n, const float *rope, int cache_start);
// Every decoder layer over X [n][dec dim], appending n rows to the decoder cache.
ORV_API int orv_gpu_decoder_prefill(orv_ctx_t *ctx, const float *x, int n, const float *rope);
// One decoder position for input X [dec dim]: appends its cache row, fills LOGITS and returns the
// greedy token id.
ORV_API int orv_gpu_decoder_step(orv_ctx_t *ctx, const float *x, const float *rope, float *logits);

#ifdef __cplusplus
}
#endif

#endif
