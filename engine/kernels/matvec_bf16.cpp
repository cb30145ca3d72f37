// The decoder's hot loop: y = W x + bias for one input row, with W in BF16 read straight from the
// mapped weight file. The step is bound by how fast the weights stream in, so the rows are split
// across the worker threads and each thread walks its rows one after another: a single
// sequential stream per core, with software prefetches a few pages ahead. (Walking several rows
// side by side, one stream per row, kept the prefetchers from reaching the sequential rate.) Each row keeps several vector accumulators so the additions never wait on
// each other, and no float copy of W is ever made.
//
// The vector paths sum in their own lane order, so their results agree with each other and with
// the portable path to single-precision rounding, not bit for bit. A row's value never depends on
// how the rows are split between threads.
#include <cmath>
#include <cstddef>
#include <new>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ORV_X86 1
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 intrinsics pass placeholder operands that its own -Wmaybe-uninitialized
// flags once inlined (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "base/bf16.h"
#include "base/cpu_features.h"
#include "base/prefetch.h"
#include "base/thread_pool.h"
#include "kernels/kernels.h"

namespace {

// One product: rows of W times X. XS is X split into three BF16 parts for the dot-product
// instruction path (null for the others).
struct Job {
  float *y;
  const float *x;
  const uint16_t *xs;
  const uint16_t *w;
  const float *bias;
  size_t k;
};

using RowsFn = void (*)(const Job &job, size_t r0, size_t r1);

// Below this many weights a product is not worth waking the workers for.
constexpr size_t kParallelMinWeights = size_t{1} << 16;

// The reference order: eight lanes over blocks of 8 terms (lane l takes terms 8b + l), reduced as
// two four-lane halves added together, then the bias, then the K mod 8 terms by fused
// multiply-add. Compilers turn the lane loop into whatever vectors the target has.
void rows_portable(const Job &j, size_t r0, size_t r1) {
  const size_t kb = j.k & ~size_t{7};
  for (size_t r = r0; r < r1; ++r) {
    const uint16_t *row = j.w + r * j.k;
    float acc[8] = {};
    for (size_t c = 0; c < kb; c += 8)
      for (size_t l = 0; l < 8; ++l) acc[l] += orv_bf16_to_f32(row[c + l]) * j.x[c + l];
    float s = ((acc[0] + acc[4]) + (acc[2] + acc[6])) + ((acc[1] + acc[5]) + (acc[3] + acc[7]));
    if (j.bias) s += j.bias[r];
    for (size_t c = kb; c < j.k; ++c) s = std::fma(j.x[c], orv_bf16_to_f32(row[c]), s);
    j.y[r] = s;
  }
}

// Bias, then the columns from C on, one fused multiply-add each.
inline float finish_row(float s, const Job &j, const uint16_t *row, size_t r, size_t c) {
  if (j.bias) s += j.bias[r];
  for (; c < j.k; ++c) s = std::fma(j.x[c], orv_bf16_to_f32(row[c]), s);
  return s;
}

#if defined(ORV_X86)

#define ORV_AVX2 __attribute__((target("avx2,fma")))
#define ORV_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))
#define ORV_AVX512BF16 __attribute__((target("avx512f,avx512bw,avx512vl,avx512bf16")))

ORV_AVX2 inline __m256 widen8(const uint16_t *p) {
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(b), 16));
}

ORV_AVX2 inline float hsum256(__m256 v) {
  __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  h = _mm_add_ps(h, _mm_movehl_ps(h, h));
  h = _mm_add_ss(h, _mm_shuffle_ps(h, h, 1));
  return _mm_cvtss_f32(h);
}

ORV_AVX2 void rows_avx2(const Job &j, size_t r0, size_t r1) {
  for (size_t r = r0; r < r1; ++r) {
    const uint16_t *row = j.w + r * j.k;
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    size_t c = 0;
    for (; c + 32 <= j.k; c += 32) {  // the hot loop
      orv_prefetch_ahead(row + c, 64);
      a0 = _mm256_fmadd_ps(widen8(row + c), _mm256_loadu_ps(j.x + c), a0);
      a1 = _mm256_fmadd_ps(widen8(row + c + 8), _mm256_loadu_ps(j.x + c + 8), a1);
      a2 = _mm256_fmadd_ps(widen8(row + c + 16), _mm256_loadu_ps(j.x + c + 16), a2);
      a3 = _mm256_fmadd_ps(widen8(row + c + 24), _mm256_loadu_ps(j.x + c + 24), a3);
    }
    for (; c + 8 <= j.k; c += 8) a0 = _mm256_fmadd_ps(widen8(row + c), _mm256_loadu_ps(j.x + c), a0);
    const float s = hsum256(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
    j.y[r] = finish_row(s, j, row, r, c);
  }
}

ORV_AVX512 inline float hsum512(__m512 v) {
  const __m256 upper = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
  return hsum256(_mm256_add_ps(_mm512_castps512_ps256(v), upper));
}

ORV_AVX512 inline __m512 widen16(__m256i b) {
  return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(b), 16));
}

ORV_AVX512 inline __m512 load_widen16(const uint16_t *p) {
  return widen16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}

// Widens the first N - N mod 16 values; returns how many.
ORV_AVX512 size_t widen_avx512(float *dst, const uint16_t *src, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) _mm512_storeu_ps(dst + i, load_widen16(src + i));
  return i;
}

ORV_AVX512 void rows_avx512(const Job &j, size_t r0, size_t r1) {
  for (size_t r = r0; r < r1; ++r) {
    const uint16_t *row = j.w + r * j.k;
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    size_t c = 0;
    for (; c + 64 <= j.k; c += 64) {  // the hot loop
      orv_prefetch_ahead(row + c, 128);
      a0 = _mm512_fmadd_ps(load_widen16(row + c), _mm512_loadu_ps(j.x + c), a0);
      a1 = _mm512_fmadd_ps(load_widen16(row + c + 16), _mm512_loadu_ps(j.x + c + 16), a1);
      a2 = _mm512_fmadd_ps(load_widen16(row + c + 32), _mm512_loadu_ps(j.x + c + 32), a2);
      a3 = _mm512_fmadd_ps(load_widen16(row + c + 48), _mm512_loadu_ps(j.x + c + 48), a3);
    }
    for (; c + 16 <= j.k; c += 16)
      a0 = _mm512_fmadd_ps(load_widen16(row + c), _mm512_loadu_ps(j.x + c), a0);
    if (c < j.k) {  // masked loads never touch memory past the row
      const __mmask16 m = static_cast<__mmask16>((1u << (j.k - c)) - 1);
      const __m512 wv = widen16(_mm256_maskz_loadu_epi16(m, row + c));
      a1 = _mm512_fmadd_ps(wv, _mm512_maskz_loadu_ps(m, j.x + c), a1);
    }
    float s = hsum512(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)));
    if (j.bias) s += j.bias[r];
    j.y[r] = s;
  }
}

// The BF16 dot-product instruction multiplies BF16 by BF16, so x enters as three BF16 parts
// whose sum is x exactly (8 significant bits each): every product is exact and the sums round
// as single-precision additions do. XS holds, per block of 32 columns, the 32 high parts, then
// the middle and the low ones; the last block is padded with zeros.
void split_x(uint16_t *xs, const float *x, size_t k) {
  for (size_t b = 0; b < k; b += 32)
    for (size_t l = 0; l < 32; ++l) {
      uint16_t *out = xs + b * 3 + l;
      if (b + l >= k) {
        out[0] = out[32] = out[64] = 0;
        continue;
      }
      const float v = x[b + l];
      const uint16_t hi = orv_f32_to_bf16_trunc(v);
      const float rest = v - orv_bf16_to_f32(hi);
      const uint16_t mid = orv_f32_to_bf16_trunc(rest);
      out[0] = hi;
      out[32] = mid;
      out[64] = orv_f32_to_bf16_trunc(rest - orv_bf16_to_f32(mid));
    }
}

ORV_AVX512BF16 void rows_avx512bf16(const Job &j, size_t r0, size_t r1) {
  const size_t full = j.k & ~size_t{31};
  for (size_t r = r0; r < r1; ++r) {
    const uint16_t *row = j.w + r * j.k;
    __m512 hi = _mm512_setzero_ps(), mid = hi, lo = hi;
    for (size_t c = 0; c < j.k; c += 32) {  // the hot loop
      orv_prefetch_ahead(row + c, 64);
      const __m512i wv = c < full ? _mm512_loadu_si512(row + c)
                                  : _mm512_maskz_loadu_epi16((1u << (j.k - c)) - 1, row + c);
      const uint16_t *xb = j.xs + c * 3;
      hi = _mm512_dpbf16_ps(hi, (__m512bh)_mm512_loadu_si512(xb), (__m512bh)wv);
      mid = _mm512_dpbf16_ps(mid, (__m512bh)_mm512_loadu_si512(xb + 32), (__m512bh)wv);
      lo = _mm512_dpbf16_ps(lo, (__m512bh)_mm512_loadu_si512(xb + 64), (__m512bh)wv);
    }
    float s = hsum512(_mm512_add_ps(hi, _mm512_add_ps(mid, lo)));
    if (j.bias) s += j.bias[r];
    j.y[r] = s;
  }
}

#elif defined(__aarch64__)

inline float32x4_t widen4(uint16x4_t b) { return vreinterpretq_f32_u32(vshll_n_u16(b, 16)); }

void rows_neon(const Job &j, size_t r0, size_t r1) {
  for (size_t r = r0; r < r1; ++r) {
    const uint16_t *row = j.w + r * j.k;
    float32x4_t a0 = vdupq_n_f32(0.0f), a1 = a0, a2 = a0, a3 = a0;
    size_t c = 0;
    for (; c + 16 <= j.k; c += 16) {  // the hot loop
      const uint16x8_t b0 = vld1q_u16(row + c), b1 = vld1q_u16(row + c + 8);
      a0 = vfmaq_f32(a0, widen4(vget_low_u16(b0)), vld1q_f32(j.x + c));
      a1 = vfmaq_f32(a1, widen4(vget_high_u16(b0)), vld1q_f32(j.x + c + 4));
      a2 = vfmaq_f32(a2, widen4(vget_low_u16(b1)), vld1q_f32(j.x + c + 8));
      a3 = vfmaq_f32(a3, widen4(vget_high_u16(b1)), vld1q_f32(j.x + c + 12));
    }
    const float s = vaddvq_f32(vaddq_f32(vaddq_f32(a0, a1), vaddq_f32(a2, a3)));
    j.y[r] = finish_row(s, j, row, r, c);
  }
}

#endif

RowsFn path_fn(int path) {
#if defined(ORV_X86)
  const CpuFeatures& cpu = orv_cpu();
  switch (path) {
    case ORV_BF16_PATH_AVX2:
      return cpu.avx2 ? rows_avx2 : nullptr;
    case ORV_BF16_PATH_AVX512:
      return cpu.avx512 ? rows_avx512 : nullptr;
    case ORV_BF16_PATH_AVX512BF16:
      return cpu.avx512bf16 ? rows_avx512bf16 : nullptr;
    default:
      break;
  }
#elif defined(__aarch64__)
  if (path == ORV_BF16_PATH_NEON) return rows_neon;
#endif
  return path == ORV_BF16_PATH_PORTABLE ? rows_portable : nullptr;
}

// The fastest path this CPU has. The dot-product instruction path is not preferred: it reads
// three times as many activation bytes for no gain on a product bound by the weight stream.
RowsFn best_fn() {
  for (int path : {ORV_BF16_PATH_AVX512, ORV_BF16_PATH_AVX2, ORV_BF16_PATH_NEON})
    if (RowsFn fn = path_fn(path)) return fn;
  return rows_portable;
}

void run(RowsFn fn, float *y, const float *x, const uint16_t *w, const float *bias, int k, int n) {
  if (!fn || n < 1) return;
  if (k < 1) {  // an empty product: the bias alone
    for (int r = 0; r < n; ++r) y[r] = bias ? bias[r] : 0.0f;
    return;
  }
  Job job{y, x, nullptr, w, bias, static_cast<size_t>(k)};
#if defined(ORV_X86)
  // The split activations live as long as this call; a thread keeps its buffer for the next.
  thread_local std::vector<uint16_t> t_split;
  if (fn == rows_avx512bf16) {
    try {
      t_split.resize((job.k + 31) / 32 * 96);
    } catch (const std::bad_alloc &) {
      fn = rows_avx512;  // the same product without the split copy
    }
    if (fn == rows_avx512bf16) {
      split_x(t_split.data(), x, job.k);
      job.xs = t_split.data();
    }
  }
#endif
  const size_t rows = static_cast<size_t>(n);
  if (rows * job.k < kParallelMinWeights) {
    fn(job, 0, rows);
    return;
  }
  // Chunks of 16 rows keep two threads from writing the same cache line of y.
  orv_parallel_for(rows, 16, [&](size_t r0, size_t r1) { fn(job, r0, r1); });
}

}  // namespace

extern "C" {

int orv_bf16_path_supported(int path) { return path_fn(path) != nullptr; }

void orv_matvec_bf16_path(int path, float *y, const float *x, const uint16_t *w, const float *bias,
                          int k, int n) {
  run(path_fn(path), y, x, w, bias, k, n);
}

void orv_matvec_bf16(float *y, const float *x, const uint16_t *w, const float *bias, int k, int n) {
  static const RowsFn best = best_fn();
  run(best, y, x, w, bias, k, n);
}

void orv_bf16_widen(float *dst, const uint16_t *src, size_t n) {
  size_t i = 0;
#if defined(ORV_X86)
  static const bool avx512 = orv_bf16_path_supported(ORV_BF16_PATH_AVX512) != 0;
  if (avx512) i = widen_avx512(dst, src, n);
  const __m128i zero = _mm_setzero_si128();
  for (; i + 8 <= n; i += 8) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_unpacklo_epi16(zero, b));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 4), _mm_unpackhi_epi16(zero, b));
  }
#endif
  for (; i < n; ++i) dst[i] = orv_bf16_to_f32(src[i]);
}

}  // extern "C"
