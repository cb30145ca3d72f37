// The attention of up to 16 (query, head) rows that share a key/value head at once, one per
// AVX-512 lane: their scores for each key, a two-pass softmax and the weighted sum of values are
// all computed across the lanes, so a key or value row is read once for all of them.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "base/thread_pool.h"
#include "kernels/attention.h"

#if defined(__x86_64__)
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 intrinsics pass placeholder operands that its own -Wmaybe-uninitialized
// flags once inlined (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

#define ORV_AVX512 __attribute__((target("avx512f")))

constexpr int64_t kLanes = 16;

// e^x, to about two units in the last place, for x <= 88: x = n ln 2 + r with |r| <= ln 2 / 2,
// a degree-6 polynomial for e^r, then the exponent n. Very negative x give 0.
ORV_AVX512 inline __m512 exp16(__m512 x) {
  x = _mm512_max_ps(x, _mm512_set1_ps(-104.0f));
  const __m512 n = _mm512_roundscale_ps(_mm512_mul_ps(x, _mm512_set1_ps(1.44269504f)),
                                        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  __m512 r = _mm512_fnmadd_ps(n, _mm512_set1_ps(0.693359375f), x);
  r = _mm512_fnmadd_ps(n, _mm512_set1_ps(-2.12194440e-4f), r);
  __m512 p = _mm512_set1_ps(1.9875691500e-4f);
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.3981999507e-3f));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(8.3334519073e-3f));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(4.1665795894e-2f));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.6666665459e-1f));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(5.0000001201e-1f));
  p = _mm512_fmadd_ps(p, _mm512_mul_ps(r, r), _mm512_add_ps(r, _mm512_set1_ps(1.0f)));
  return _mm512_scalef_ps(p, n);
}

// The lanes whose window [first, last) holds key row KEY.
ORV_AVX512 inline __mmask16 lanes_seeing(int64_t key, __m512i first, __m512i last) {
  const __m512i at = _mm512_set1_epi32(static_cast<int32_t>(key));
  return static_cast<__mmask16>(_mm512_cmpge_epi32_mask(at, first) &
                                _mm512_cmplt_epi32_mask(at, last));
}

// Per-thread buffers: the lanes' queries by column, then their scores (and weights) by key.
struct LaneScratch {
  std::vector<float> qt, scores;
};

// Flattened rows T0 .. T1 - 1 (at most 16) of key/value head KVH: row t is query t / group of
// head kvh * group + t % group, and takes lane t - t0.
ORV_AVX512 void attend_lanes(const AttentionCall &g, int64_t kvh, int64_t t0, int64_t t1,
                             LaneScratch &scratch) {
  const int64_t rows = t1 - t0, i_lo = t0 / g.group, i_hi = (t1 - 1) / g.group;
  const size_t hd = g.hd, col = static_cast<size_t>(kvh) * hd;
  alignas(64) int32_t first[kLanes], last[kLanes];
  for (int64_t lane = 0; lane < kLanes; ++lane) {
    const int64_t i = (t0 + std::min(lane, rows - 1)) / g.group;
    first[lane] = static_cast<int32_t>(g.first(i));
    last[lane] =
        lane < rows ? static_cast<int32_t>(g.last(i)) : first[lane];  // unused lanes see nothing
  }
  const int64_t lo = g.first(i_lo), hi = std::max(g.last(i_hi), lo), nk = hi - lo;
  scratch.qt.assign(hd * kLanes, 0.0f);
  scratch.scores.resize(static_cast<size_t>(nk) * kLanes);
  float *qt = scratch.qt.data(), *sc = scratch.scores.data();
  auto q_row = [&](int64_t t) {
    return g.q + static_cast<size_t>(t / g.group) * g.q_stride +
           static_cast<size_t>(kvh * g.group + t % g.group) * hd;
  };
  for (int64_t lane = 0; lane < rows; ++lane) {
    const float *q = q_row(t0 + lane);
    for (size_t d = 0; d < hd; ++d) qt[d * kLanes + static_cast<size_t>(lane)] = q[d];
  }

  // Scores, four keys at a time: lane l of key j's vector is row l's score for key lo + j.
  const float *k = g.k + static_cast<size_t>(lo) * g.kv_stride + col;
  const __m512 scale = _mm512_set1_ps(g.scale);
  int64_t j = 0;
  for (; j + 4 <= nk; j += 4) {
    const float *k0 = k + static_cast<size_t>(j) * g.kv_stride;
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (size_t d = 0; d < hd; ++d) {
      const __m512 qv = _mm512_loadu_ps(qt + d * kLanes);
      a0 = _mm512_fmadd_ps(_mm512_set1_ps(k0[d]), qv, a0);
      a1 = _mm512_fmadd_ps(_mm512_set1_ps(k0[g.kv_stride + d]), qv, a1);
      a2 = _mm512_fmadd_ps(_mm512_set1_ps(k0[2 * g.kv_stride + d]), qv, a2);
      a3 = _mm512_fmadd_ps(_mm512_set1_ps(k0[3 * g.kv_stride + d]), qv, a3);
    }
    float *out = sc + static_cast<size_t>(j) * kLanes;
    _mm512_storeu_ps(out, _mm512_mul_ps(a0, scale));
    _mm512_storeu_ps(out + kLanes, _mm512_mul_ps(a1, scale));
    _mm512_storeu_ps(out + 2 * kLanes, _mm512_mul_ps(a2, scale));
    _mm512_storeu_ps(out + 3 * kLanes, _mm512_mul_ps(a3, scale));
  }
  for (; j < nk; ++j) {
    const float *kj = k + static_cast<size_t>(j) * g.kv_stride;
    __m512 a = _mm512_setzero_ps();
    for (size_t d = 0; d < hd; ++d)
      a = _mm512_fmadd_ps(_mm512_set1_ps(kj[d]), _mm512_loadu_ps(qt + d * kLanes), a);
    _mm512_storeu_ps(sc + static_cast<size_t>(j) * kLanes, _mm512_mul_ps(a, scale));
  }

  // Softmax over each lane's visible keys; the weights replace the scores, zero where unseen.
  const __m512i first_v = _mm512_load_si512(first), last_v = _mm512_load_si512(last);
  __m512 m = _mm512_set1_ps(-INFINITY);
  for (j = 0; j < nk; ++j)
    m = _mm512_mask_max_ps(m, lanes_seeing(lo + j, first_v, last_v), m,
                           _mm512_loadu_ps(sc + static_cast<size_t>(j) * kLanes));
  __m512 sum = _mm512_setzero_ps();
  for (j = 0; j < nk; ++j) {
    float *s = sc + static_cast<size_t>(j) * kLanes;
    const __mmask16 seen = lanes_seeing(lo + j, first_v, last_v);
    const __m512 p =
        _mm512_maskz_mov_ps(seen, exp16(_mm512_maskz_sub_ps(seen, _mm512_loadu_ps(s), m)));
    sum = _mm512_add_ps(sum, p);
    _mm512_storeu_ps(s, p);
  }
  const __mmask16 any = _mm512_cmp_ps_mask(sum, _mm512_setzero_ps(), _CMP_GT_OQ);
  const __m512 inv = _mm512_maskz_div_ps(any, _mm512_set1_ps(1.0f), sum);

  // Weighted sums of the value rows, sixteen columns at a time (fewer for the last ones).
  const float *v = g.v + static_cast<size_t>(lo) * g.kv_stride + col;
  alignas(64) float cols[kLanes][kLanes];
  for (size_t d0 = 0; d0 < hd; d0 += kLanes) {
    const size_t width = std::min<size_t>(kLanes, hd - d0);
    __m512 acc[kLanes];
    for (__m512 &a : acc) a = _mm512_setzero_ps();
    if (width == kLanes) {
      for (j = 0; j < nk; ++j) {
        const __m512 p = _mm512_loadu_ps(sc + static_cast<size_t>(j) * kLanes);
        const float *vj = v + static_cast<size_t>(j) * g.kv_stride + d0;
#pragma GCC unroll 16
        for (size_t c = 0; c < kLanes; ++c)
          acc[c] = _mm512_fmadd_ps(_mm512_set1_ps(vj[c]), p, acc[c]);
      }
    } else {
      for (j = 0; j < nk; ++j) {
        const __m512 p = _mm512_loadu_ps(sc + static_cast<size_t>(j) * kLanes);
        const float *vj = v + static_cast<size_t>(j) * g.kv_stride + d0;
        for (size_t c = 0; c < width; ++c)
          acc[c] = _mm512_fmadd_ps(_mm512_set1_ps(vj[c]), p, acc[c]);
      }
    }
    for (size_t c = 0; c < width; ++c) _mm512_store_ps(cols[c], _mm512_mul_ps(acc[c], inv));
    for (int64_t lane = 0; lane < rows; ++lane) {
      const int64_t t = t0 + lane;
      float *o = g.out + static_cast<size_t>(t / g.group) * g.q_stride +
                 static_cast<size_t>(kvh * g.group + t % g.group) * hd + d0;
      for (size_t c = 0; c < width; ++c) o[c] = cols[c][lane];
    }
  }
}

}  // namespace

// Every key/value head's flattened rows in blocks of 16 lanes, spread over the threads. A
// block whose buffers cannot be had goes through the one-pass form instead.
void attention_lanes(const AttentionCall &g, int64_t n_q, bool parallel) {
  const int64_t n_kv_heads = g.n_heads / g.group, flat = n_q * g.group;
  const int64_t blocks = (flat + kLanes - 1) / kLanes;
  auto run = [&](size_t begin, size_t end) {
    thread_local LaneScratch scratch;
    for (size_t item = begin; item < end; ++item) {
      const int64_t kvh = static_cast<int64_t>(item) / blocks,
                    b = static_cast<int64_t>(item) % blocks;
      const int64_t t0 = b * kLanes, t1 = std::min(flat, t0 + kLanes);
      try {
        attend_lanes(g, kvh, t0, t1, scratch);
      } catch (const std::bad_alloc &) {
        for (int64_t t = t0; t < t1; ++t) attend_pair(g, t / g.group, kvh * g.group + t % g.group);
      }
    }
  };
  const size_t items = static_cast<size_t>(n_kv_heads * blocks);
  if (parallel)
    orv_parallel_for(items, run);
  else
    run(0, items);
}

#else

void attention_lanes(const AttentionCall &, int64_t, bool) {}

#endif
