// The text decoder with its key/value cache: prefill, single steps and greedy choice.
#ifndef ORVANE_DECODER_H
#define ORVANE_DECODER_H

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Allocates the decoder cache with CAPACITY rows if it does not exist. 0 or -1.
ORV_API int orv_kv_cache_init(orv_ctx_t *ctx, int capacity);
// Grows the cache (doubling, contents kept) to hold NEEDED rows, or creates one of NEEDED rows
// when there is none. 0 or -1 (cache unchanged).
ORV_API int orv_kv_cache_grow(orv_ctx_t *ctx, int needed);
// Runs N input embeddings [n][dec dim] through every layer, appending them to the cache.
// 0, or -1 when the cache could not be made large enough (nothing computed).
ORV_API int orv_decoder_prefill(orv_ctx_t *ctx, const float *embeds, int n);
// Appends one position; fills LOGITS [vocab] (when not null: the GPU then leaves the scores on
// the device) and returns the greedy next token id, the lowest on ties (ORV_TOKEN_EOS when the cache cannot grow or the work buffers cannot be allocated).
ORV_API int orv_decoder_step(orv_ctx_t *ctx, const float *embed, float *logits);
// Widened BF16 token-embedding row of ID into OUT [dec dim]; zeros for an id outside the
// vocabulary.
ORV_API void orv_token_embedding(const orv_ctx_t *ctx, int id, float *out);

#ifdef __cplusplus
}
#endif

#endif
