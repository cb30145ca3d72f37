// The text decoder with a stream's key/value cache: prefill, single steps and greedy choice.
#ifndef ORVANE_DECODER_H
#define ORVANE_DECODER_H

#include <vector>

#include "network/kv_cache.h"
#include "network/layer_buffers.h"
#include "orvane.h"

// What the decoder keeps for one stream: its key/value cache and the step's work rows.
struct DecoderState {
  explicit DecoderState(const orv_block_shape_t& s, const BlockMemory& memory = kHeapMemory)
      : cache(s.layers, s.kv_heads * s.head_dim, memory), work(BlockWidths(s)) {}
  KvCache cache;
  LayerWork work;  // one row
  std::vector<float> x, rope, logits;
};

// Runs N input embeddings [n][dec dim] through every layer, appending them to the cache.
// 0, or -1 when the cache could not be made large enough (nothing computed).
int orv_decoder_prefill(const orv_ctx_t *ctx, DecoderState *st, const float *embeds, int n);
// Appends one position; fills LOGITS [vocab] (when not null: the GPU then leaves the scores on
// the device) and returns the greedy next token id, the lowest on ties (ORV_TOKEN_EOS when the
// cache cannot grow or the work buffers cannot be allocated).
int orv_decoder_step(const orv_ctx_t *ctx, DecoderState *st, const float *embed, float *logits);
// Widened BF16 token-embedding row of ID into OUT [dec dim]; zeros for an id outside the
// vocabulary.
void orv_token_embedding(const orv_ctx_t *ctx, int id, float *out);

#endif
