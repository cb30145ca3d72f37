// What one attention call computes, shared by its two forms: the one-pass form (attention.cpp)
// and the AVX-512 form that takes 16 rows at once (attention_lanes.cpp).
#ifndef ORVANE_ATTENTION_H
#define ORVANE_ATTENTION_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

// The shape of one call and the keys each query sees.
struct AttentionCall {
  float *out;
  const float *q, *k, *v;
  int64_t n_kv, window, q_offset, n_heads, group;
  size_t hd, q_stride, kv_stride;
  float scale;

  // Query I sits at key row p and sees rows [first, last): itself and up to window - 1 before.
  int64_t first(int64_t i) const {
    const int64_t p = q_offset + i;
    return (window >= 1 && p >= window) ? p - window + 1 : 0;
  }
  int64_t last(int64_t i) const { return std::min<int64_t>(q_offset + i + 1, n_kv); }
};

// Query row I of head H, one pass over its keys with a running maximum and sum.
void attend_pair(const AttentionCall &g, int64_t i, int64_t h);

// Every key/value head's (query, head) rows in blocks of 16 lanes, over the threads when
// PARALLEL. Only where orv_cpu_has_avx512f().
void attention_lanes(const AttentionCall &g, int64_t n_q, bool parallel);

#endif
