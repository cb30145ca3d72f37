// The decoder's hot loop: y = W x + bias for one input row, with W in BF16 read straight from the
// mapped weight file. The step is bound by how fast the weights stream in, so the kernels widen
// and multiply several rows per pass (one pass over x serves them all) and never materialise a
// float copy of W. The baseline path is SSE2 (plain x86-64); an AVX2 path is picked at run time.
// Both round identically (see bf16.h); the AVX2 path deliberately does not use FMA in the blocks,
// which would change the rounding of every product.
#include <immintrin.h>

#include <cmath>
#include <cstddef>

#include "bf16.h"
#include "kernels.h"

namespace {

using MatvecFn = void (*)(float *y, const float *x, const uint16_t *w, const float *bias, size_t k,
                          size_t n);

// The lanes of a row's partial sums hold terms 8b+0..3 (LO) and 8b+4..7 (HI); they are reduced as
// ((v0 + v2) + (v1 + v3)) with v = LO + HI.
__attribute__((always_inline)) inline float reduce8(__m128 lo, __m128 hi) {
  const __m128 v = _mm_add_ps(lo, hi);
  const __m128 t = _mm_add_ps(v, _mm_movehl_ps(v, v));
  return _mm_cvtss_f32(_mm_add_ss(t, _mm_shuffle_ps(t, t, 1)));
}

// Bias, then the K mod 8 terms left after the blocks, one fused multiply-add each.
__attribute__((always_inline)) inline float finish_row(float s, const float *x, const uint16_t *row,
                                                       const float *bias, size_t r, size_t kb,
                                                       size_t k) {
  if (bias) s += bias[r];
  for (size_t j = kb; j < k; ++j) s = std::fma(x[j], orv_bf16_to_f32(row[j]), s);
  return s;
}

// Several rows in one pass keep many independent sums in flight, but the memory system serves
// that many interleaved streams well below its sequential rate. So while a group of rows is
// multiplied, the next group (NEXT, contiguous, or null) is prefetched into L2 in one sequential
// sweep that keeps pace with the current one: R * 16 bytes per block of 8 columns.
template <int R>
__attribute__((always_inline)) inline void prefetch_step(const uint16_t *next, size_t j) {
  if (!next) return;
  const char *p = reinterpret_cast<const char *>(next + j * R);
  for (int line = 0; line < R * 16; line += 64) _mm_prefetch(p + line, _MM_HINT_T1);
}

// Rows r0 .. r0 + R - 1.
template <int R>
void rows_sse2(float *y, const float *x, const uint16_t *w, const float *bias, size_t r0, size_t k,
               const uint16_t *next) {
  const size_t kb = k & ~size_t{7};
  const __m128i zero = _mm_setzero_si128();
  const uint16_t *rows = w + r0 * k;
  __m128 lo[R], hi[R];
#pragma GCC unroll 8
  for (int i = 0; i < R; ++i) lo[i] = hi[i] = _mm_setzero_ps();
  for (size_t j = 0; j < kb; j += 8) {
    const __m128 xlo = _mm_loadu_ps(x + j);
    const __m128 xhi = _mm_loadu_ps(x + j + 4);
    prefetch_step<R>(next, j);
#pragma GCC unroll 8
    for (int i = 0; i < R; ++i) {
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows + i * k + j));
      // Interleaving with zero puts each BF16 value in the upper half of a 32-bit lane.
      const __m128 wlo = _mm_castsi128_ps(_mm_unpacklo_epi16(zero, b));
      const __m128 whi = _mm_castsi128_ps(_mm_unpackhi_epi16(zero, b));
      lo[i] = _mm_add_ps(lo[i], _mm_mul_ps(wlo, xlo));
      hi[i] = _mm_add_ps(hi[i], _mm_mul_ps(whi, xhi));
    }
  }
  for (int i = 0; i < R; ++i)
    y[r0 + i] = finish_row(reduce8(lo[i], hi[i]), x, rows + i * k, bias, r0 + i, kb, k);
}

// The group of ROWS rows after the one at R, or null when it is not complete.
const uint16_t *next_group(const uint16_t *w, size_t r, size_t rows, size_t k, size_t n) {
  return r + 2 * rows <= n ? w + (r + rows) * k : nullptr;
}

void matvec_sse2(float *y, const float *x, const uint16_t *w, const float *bias, size_t k,
                 size_t n) {
  size_t r = 0;
  for (; r + 4 <= n; r += 4) rows_sse2<4>(y, x, w, bias, r, k, next_group(w, r, 4, k, n));
  for (; r < n; ++r) rows_sse2<1>(y, x, w, bias, r, k, nullptr);
}

template <int R>
__attribute__((target("avx2"))) void rows_avx2(float *y, const float *x, const uint16_t *w,
                                               const float *bias, size_t r0, size_t k,
                                               const uint16_t *next) {
  const size_t kb = k & ~size_t{7};
  const uint16_t *rows = w + r0 * k;
  __m256 acc[R];
#pragma GCC unroll 8
  for (int i = 0; i < R; ++i) acc[i] = _mm256_setzero_ps();
  for (size_t j = 0; j < kb; j += 8) {
    const __m256 xv = _mm256_loadu_ps(x + j);
    prefetch_step<R>(next, j);
#pragma GCC unroll 8
    for (int i = 0; i < R; ++i) {
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows + i * k + j));
      const __m256 wv = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(b), 16));
      acc[i] = _mm256_add_ps(acc[i], _mm256_mul_ps(wv, xv));
    }
  }
  for (int i = 0; i < R; ++i) {
    const float s = reduce8(_mm256_castps256_ps128(acc[i]), _mm256_extractf128_ps(acc[i], 1));
    y[r0 + i] = finish_row(s, x, rows + i * k, bias, r0 + i, kb, k);
  }
}

__attribute__((target("avx2"))) void matvec_avx2(float *y, const float *x, const uint16_t *w,
                                                 const float *bias, size_t k, size_t n) {
  size_t r = 0;
  for (; r + 8 <= n; r += 8) rows_avx2<8>(y, x, w, bias, r, k, next_group(w, r, 8, k, n));
  for (; r < n; ++r) rows_avx2<1>(y, x, w, bias, r, k, nullptr);
}

MatvecFn path_fn(int path) {
  __builtin_cpu_init();
  if (path == ORV_BF16_PATH_SSE2) return matvec_sse2;
  if (path == ORV_BF16_PATH_AVX2 && __builtin_cpu_supports("avx2")) return matvec_avx2;
  return nullptr;
}

void run(MatvecFn fn, float *y, const float *x, const uint16_t *w, const float *bias, int k, int n) {
  if (!fn || n < 1) return;
  if (k < 1) {  // an empty product: the bias alone
    for (int r = 0; r < n; ++r) y[r] = bias ? bias[r] : 0.0f;
    return;
  }
  fn(y, x, w, bias, static_cast<size_t>(k), static_cast<size_t>(n));
}

}  // namespace

extern "C" {

int orv_bf16_path_supported(int path) { return path_fn(path) != nullptr; }

void orv_matvec_bf16_path(int path, float *y, const float *x, const uint16_t *w, const float *bias,
                          int k, int n) {
  run(path_fn(path), y, x, w, bias, k, n);
}

void orv_matvec_bf16(float *y, const float *x, const uint16_t *w, const float *bias, int k, int n) {
  static const MatvecFn best =
      orv_bf16_path_supported(ORV_BF16_PATH_AVX2) ? matvec_avx2 : matvec_sse2;
  run(best, y, x, w, bias, k, n);
}

void orv_bf16_widen(float *dst, const uint16_t *src, size_t n) {
  const __m128i zero = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_unpacklo_epi16(zero, b));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 4), _mm_unpackhi_epi16(zero, b));
  }
  for (; i < n; ++i) dst[i] = orv_bf16_to_f32(src[i]);
}

}  // extern "C"
