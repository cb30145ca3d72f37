// The causal audio encoder: convolution stem and transformer layers, whole-sequence and
// incremental (against the encoder key/value cache).
#ifndef ORVANE_ENCODER_H
#define ORVANE_ENCODER_H

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// The convolution stem, channel-major; columns before the first read as zero, and L_IN < 1
// writes nothing. First convolution (kernel 3, stride 1, causal) + GELU:
// mel columns in [128][l_in] to out [enc dim][l_in].
ORV_API void orv_encoder_conv0(const orv_ctx_t *ctx, const float *in, int l_in, float *out);
// Second convolution (kernel 3, stride 2, causal) + GELU: in [enc dim][l_in] to
// out [enc dim][ceil(l_in / 2)].
ORV_API void orv_encoder_conv1(const orv_ctx_t *ctx, const float *in, int l_in, float *out);

// Encoder states [ceil(n_frames / 2)][enc dim] of mel frames [n_frames][128], as new memory to
// free(); NULL with *out_len 0 on failure.
ORV_API float *orv_encoder_forward(orv_ctx_t *ctx, const float *mel, int n_frames, int *out_len);
// Allocates the encoder cache with CAPACITY rows if it does not exist. 0 or -1.
ORV_API int orv_enc_kv_cache_init(orv_ctx_t *ctx, int capacity);
// Runs the transformer layers over N new stem outputs x [n][enc dim], extending the cache.
// Returns encoder states [n][enc dim] to free(), or NULL with *out_len 0.
ORV_API float *orv_encoder_forward_incremental(orv_ctx_t *ctx, const float *x, int n,
                                               int *out_len);

#ifdef __cplusplus
}
#endif

#endif
