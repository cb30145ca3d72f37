// Causal sliding-window attention with grouped key/value heads. Each (query, head) pair makes one
// pass over its visible keys with a running maximum and sum (online softmax), so no score matrix
// is ever stored and memory stays linear in the sequence.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace {

// a . b: two four-lane partial sums over blocks of 8, reduced, then the leftover terms.
float dot(const float *a, const float *b, size_t n) {
  __m128 acc0 = _mm_setzero_ps();
  __m128 acc1 = _mm_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    acc0 = _mm_add_ps(acc0, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    acc1 = _mm_add_ps(acc1, _mm_mul_ps(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4)));
  }
  const __m128 v = _mm_add_ps(acc0, acc1);
  const __m128 t = _mm_add_ps(v, _mm_movehl_ps(v, v));
  float s = _mm_cvtss_f32(_mm_add_ss(t, _mm_shuffle_ps(t, t, 1)));
  for (; i < n; ++i) s += a[i] * b[i];
  return s;
}

// o = o * c + v
void rescale_add(float *o, float c, const float *v, size_t n) {
  const __m128 cv = _mm_set1_ps(c);
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    _mm_storeu_ps(o + i, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(o + i), cv), _mm_loadu_ps(v + i)));
  for (; i < n; ++i) o[i] = o[i] * c + v[i];
}

// o = o + e * v
void add_scaled(float *o, float e, const float *v, size_t n) {
  const __m128 ev = _mm_set1_ps(e);
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    _mm_storeu_ps(o + i, _mm_add_ps(_mm_loadu_ps(o + i), _mm_mul_ps(ev, _mm_loadu_ps(v + i))));
  for (; i < n; ++i) o[i] = o[i] + e * v[i];
}

}  // namespace

extern "C" {

void orv_attention(float *out, const float *q, const float *k, const float *v, int n_q, int n_kv,
                   int n_heads, int n_kv_heads, int head_dim, int window, int q_offset,
                   float scale) {
  if (n_q < 1 || n_heads < 1 || n_kv_heads < 1 || head_dim < 1) return;
  // Every key/value head serves the same number of query heads; any other split would send the
  // last query heads past the last key/value head (or divide by a zero group size).
  if (n_heads % n_kv_heads != 0) return;
  const int64_t group = n_heads / n_kv_heads;
  const size_t hd = static_cast<size_t>(head_dim);
  const size_t q_stride = static_cast<size_t>(n_heads) * hd;
  const size_t kv_stride = static_cast<size_t>(n_kv_heads) * hd;

  for (int64_t i = 0; i < n_q; ++i) {
    // Query i sits at key row p and sees rows [start, end): itself and up to window - 1 before.
    const int64_t p = static_cast<int64_t>(q_offset) + i;
    const int64_t end = std::min<int64_t>(p + 1, n_kv);
    const int64_t start = (window >= 1 && p >= window) ? p - window + 1 : 0;
    const float *qrow = q + static_cast<size_t>(i) * q_stride;
    float *orow = out + static_cast<size_t>(i) * q_stride;
    for (int64_t h = 0; h < n_heads; ++h) {
      const float *qh = qrow + static_cast<size_t>(h) * hd;
      float *o = orow + static_cast<size_t>(h) * hd;
      const size_t kv_col = static_cast<size_t>(h / group) * hd;
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
      if (l > 0.0f) orv_scale(o, head_dim, 1.0f / l);
    }
  }
}

}  // extern "C"
