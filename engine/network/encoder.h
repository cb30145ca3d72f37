// The causal audio encoder: convolution stem and transformer layers, whole-sequence and
// incremental (against a stream's encoder key/value cache).
#ifndef ORVANE_ENCODER_H
#define ORVANE_ENCODER_H

#include <cstdint>
#include <vector>

#include "network/kv_cache.h"
#include "network/layer_buffers.h"
#include "orvane.h"

// What the incremental encoder keeps for one stream: its key/value cache and work rows.
struct EncoderState {
  explicit EncoderState(const orv_block_shape_t& s, const BlockMemory& memory = kHeapMemory)
      : cache(s.layers, s.kv_heads * s.head_dim, memory), work(BlockWidths(s)) {}
  KvCache cache;
  LayerWork work;
  std::vector<int32_t> positions;
  std::vector<float> rope;
};

// The convolution stem, channel-major; columns before the first read as zero, and L_IN < 1
// writes nothing. First convolution (kernel 3, stride 1, causal) + GELU:
// mel columns in [128][l_in] to out [enc dim][l_in].
void orv_encoder_conv0(const orv_ctx_t *ctx, const float *in, int l_in, float *out);
// Second convolution (kernel 3, stride 2, causal) + GELU: in [enc dim][l_in] to
// out [enc dim][ceil(l_in / 2)].
void orv_encoder_conv1(const orv_ctx_t *ctx, const float *in, int l_in, float *out);

// Encoder states [ceil(n_frames / 2)][enc dim] of mel frames [n_frames][128], as new memory to
// free(); NULL with *out_len 0 on failure.
float *orv_encoder_forward(const orv_ctx_t *ctx, const float *mel, int n_frames, int *out_len);
// Runs the transformer layers over N new stem outputs x [n][enc dim], extending ST's cache.
// Returns encoder states [n][enc dim] to free(), or NULL with *out_len 0.
float *orv_encoder_forward_incremental(const orv_ctx_t *ctx, EncoderState *st, const float *x,
                                       int n, int *out_len);

#endif
