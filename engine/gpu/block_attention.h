// Causal sliding-window attention of a block of queries, as the encoder pass, the decoder's
// prefill and the standalone operation record it.
#ifndef ORVANE_GPU_BLOCK_ATTENTION_H
#define ORVANE_GPU_BLOCK_ATTENTION_H

#include <cstdint>

#include "gpu/buffer.h"
#include "gpu/caches.h"
#include "gpu/pipelines.h"

namespace gpu {

// Q and the output [seq_q][n_heads * head_dim], K and V [seq_k][n_kv_heads * head_dim]; query i
// sits at position q_offset + i and sees keys window_size back (all with 0).
struct BlockAttention {
  int32_t n_heads, n_kv_heads, head_dim, seq_q, seq_k;
  float scale;
  int32_t window_size, q_offset;
};

// How one attention is spread over workgroups: each takes QUERIES queries of every query head
// sharing a key/value head, against KEYS keys; SPLITS workgroups share one such block of queries.
struct AttentionSplit {
  int queries, keys, splits;
};
// All zero for shapes the kernel does not take.
AttentionSplit split_attention(const BlockAttention& a);

// Bytes of the partial results when the keys are split, else 0.
uint64_t attention_partial_bytes(const BlockAttention& a);

// Records attention through kernel K (encoder_attention, or encoder_attention_kv16 over half
// caches); with more than one split, the partial results go to PARTIAL (at least
// attention_partial_bytes) and a second kernel merges them. Fails REC for shapes the kernel does
// not take, or a missing PARTIAL.
void record_block_attention(Recorder& rec, Kernel k, const BlockAttention& a, const Binding& q, const Binding& keys,
                            const Binding& values, const Binding& out, const Buffer* partial);
// The same with the partial results in a scratch buffer from CACHES.
void record_block_attention(Recorder& rec, Caches& caches, Kernel k, const BlockAttention& a, const Binding& q,
                            const Binding& keys, const Binding& values, const Binding& out);

}  // namespace gpu

#endif
