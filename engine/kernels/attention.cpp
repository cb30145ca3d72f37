// Causal sliding-window attention with grouped key/value heads. On AVX-512 the rows go through 16
// at a time (attention_lanes.cpp); elsewhere each (query, head) pair makes one pass over its
// visible keys with a running maximum and sum (online softmax). Either way memory stays linear in
// the sequence.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kernels/attention.h"
#include "base/cpu_features.h"
#include "kernels/kernels.h"
#include "base/thread_pool.h"

namespace {

// Below this many multiply-adds (query rows x heads x visible keys x head width) the heads are
// not worth spreading over the threads.
constexpr size_t kParallelMinWork = size_t{1} << 16;

// a . b: eight lane sums over blocks of 8 (plain loops, which the compiler vectorises), reduced
// as two four-lane halves, then the leftover terms.
float dot(const float *a, const float *b, size_t n) {
  float acc[8] = {};
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (size_t l = 0; l < 8; ++l) acc[l] += a[i + l] * b[i + l];
  float s = ((acc[0] + acc[4]) + (acc[2] + acc[6])) + ((acc[1] + acc[5]) + (acc[3] + acc[7]));
  for (; i < n; ++i) s += a[i] * b[i];
  return s;
}

// o = o * c + v
void rescale_add(float *o, float c, const float *v, size_t n) {
  for (size_t i = 0; i < n; ++i) o[i] = o[i] * c + v[i];
}

// o = o + e * v
void add_scaled(float *o, float e, const float *v, size_t n) {
  for (size_t i = 0; i < n; ++i) o[i] = o[i] + e * v[i];
}

// One head of one query over keys [start, end): the streaming softmax.
void attend(float *o, const float *qh, const float *k, const float *v, size_t kv_stride,
            size_t kv_col, size_t hd, int64_t start, int64_t end, float scale) {
  std::fill(o, o + hd, 0.0f);
  float m = -1e30f;
  float l = 0.0f;
  for (int64_t j = start; j < end; ++j) {
    const float *kj = k + static_cast<size_t>(j) * kv_stride + kv_col;
    const float *vj = v + static_cast<size_t>(j) * kv_stride + kv_col;
    const float s = dot(qh, kj, hd) * scale;
    if (s > m) {
      const float c = std::exp(m - s);
      l = c * l + 1.0f;
      rescale_add(o, c, vj, hd);
      m = s;
    } else {
      const float e = std::exp(s - m);
      l += e;
      add_scaled(o, e, vj, hd);
    }
  }
  if (l > 0.0f) orv_scale(o, static_cast<int>(hd), 1.0f / l);
}

// Every (query, head) pair, spread over the threads.
void attention_pairs(const AttentionCall &g, int64_t n_q, bool parallel) {
  auto run = [&](size_t begin, size_t end) {
    for (size_t item = begin; item < end; ++item)
      attend_pair(g, static_cast<int64_t>(item) / g.n_heads,
                  static_cast<int64_t>(item) % g.n_heads);
  };
  const size_t items = static_cast<size_t>(n_q * g.n_heads);
  if (parallel)
    orv_parallel_for(items, run);
  else
    run(0, items);
}

// The checks and the call shared by both entry points; false when nothing is to be written.
bool make_call(AttentionCall *g, float *out, const float *q, const float *k, const float *v,
               int n_q, int n_kv, int n_heads, int n_kv_heads, int head_dim, int window,
               int q_offset, float scale) {
  if (n_q < 1 || n_heads < 1 || n_kv_heads < 1 || head_dim < 1) return false;
  // Every key/value head serves the same number of query heads; any other split would send the
  // last query heads past the last key/value head (or divide by a zero group size).
  if (n_heads % n_kv_heads != 0) return false;
  const size_t hd = static_cast<size_t>(head_dim);
  const size_t q_stride = static_cast<size_t>(n_heads) * hd;
  const size_t kv_stride = static_cast<size_t>(n_kv_heads) * hd;
  *g = AttentionCall{out, q,       k,  v,        n_kv,      window, q_offset, n_heads,
                n_heads / n_kv_heads, hd, q_stride, kv_stride, scale};
  return true;
}

// Whether the call is worth spreading over the threads.
bool worth_threads(const AttentionCall &g, int64_t n_q) {
  int64_t keys = std::max<int64_t>(g.n_kv, 0);  // visible keys per query, at most
  if (g.window >= 1) keys = std::min<int64_t>(keys, g.window);
  return static_cast<size_t>(n_q * g.n_heads * keys) * g.hd >= kParallelMinWork;
}

}  // namespace

void attend_pair(const AttentionCall &g, int64_t i, int64_t h) {
  const size_t at = static_cast<size_t>(i) * g.q_stride + static_cast<size_t>(h) * g.hd;
  attend(g.out + at, g.q + at, g.k, g.v, g.kv_stride, static_cast<size_t>(h / g.group) * g.hd, g.hd,
         g.first(i), g.last(i), g.scale);
}

extern "C" {

void orv_attention(float *out, const float *q, const float *k, const float *v, int n_q, int n_kv,
                   int n_heads, int n_kv_heads, int head_dim, int window, int q_offset,
                   float scale) {
  AttentionCall g;
  if (!make_call(&g, out, q, k, v, n_q, n_kv, n_heads, n_kv_heads, head_dim, window, q_offset,
                     scale))
    return;
  if (orv_cpu_has_avx512f())
    attention_lanes(g, n_q, worth_threads(g, n_q));
  else
    attention_pairs(g, n_q, worth_threads(g, n_q));
}

void orv_attention_one_pass(float *out, const float *q, const float *k, const float *v, int n_q,
                            int n_kv, int n_heads, int n_kv_heads, int head_dim, int window,
                            int q_offset, float scale) {
  AttentionCall g;
  if (make_call(&g, out, q, k, v, n_q, n_kv, n_heads, n_kv_heads, head_dim, window, q_offset,
                    scale))
    attention_pairs(g, n_q, worth_threads(g, n_q));
}

}  // extern "C"
