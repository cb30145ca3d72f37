// Products with INT8 weights and float activations. The single row is the decoder step's hot
// loop: it streams one byte per weight, half of what the BF16 product reads, and widens the bytes
// in registers; each group of 128 products is summed and then scaled once. The rows are split
// across the thread pool. The AVX2 and AVX-512 paths are picked at run time (NEON on aarch64);
// each sums in its own lane order, so the paths agree to rounding, not bit for bit. Several rows
// (the prefill) go through the tiled kernel, or on CPUs without it through the BLAS on small
// panels of dequantised rows, one per thread.
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif
#include <cblas.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

#include "base/cpu_features.h"
#include "base/prefetch.h"
#include "base/thread_pool.h"
#include "kernels/gemm_xwt.h"
#include "kernels/int8_weights.h"
#include "kernels/sgemm.h"

namespace {

using RowsFn = void (*)(float *y, const float *x, const orv_int8_matrix_t &w, size_t r0,
                        size_t r1);

constexpr size_t kGroup = ORV_INT8_GROUP;

// Each row is walked on its own, start to end, so every thread reads its rows as one sequential
// stream that the hardware prefetchers follow (several rows side by side, one stream each, ran at
// half the memory rate). A group's 128 products go into eight lanes (lane l takes the terms
// i = 8b + l), reduced as two four-lane halves; the vector paths below keep more lanes.
void rows_portable(float *y, const float *x, const orv_int8_matrix_t &w, size_t r0, size_t r1) {
  const size_t k = size_t(w.k), groups = k / kGroup;
  for (size_t r = r0; r < r1; ++r) {
    const int8_t *q = w.weights + r * k;
    float sum = 0.0f;
    for (size_t g = 0; g < groups; ++g) {
      float lane[8] = {};
      for (size_t i = g * kGroup; i < (g + 1) * kGroup; i += 8)
        for (size_t l = 0; l < 8; ++l) lane[l] += x[i + l] * float(q[i + l]);
      const float part = ((lane[0] + lane[4]) + (lane[2] + lane[6])) +
                         ((lane[1] + lane[5]) + (lane[3] + lane[7]));
      sum += part * orv_f16_to_f32(w.scales[r * groups + g]);
    }
    y[r] = sum;
  }
}

#if defined(__x86_64__)

__attribute__((target("avx2"))) inline float reduce8(__m256 v8) {
  const __m128 v = _mm_add_ps(_mm256_castps256_ps128(v8), _mm256_extractf128_ps(v8, 1));
  const __m128 t = _mm_add_ps(v, _mm_movehl_ps(v, v));
  return _mm_cvtss_f32(_mm_add_ss(t, _mm_shuffle_ps(t, t, 1)));
}

// Eight weights widened to floats.
__attribute__((target("avx2"))) inline __m256 widen8(const int8_t *q) {
  const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(q));
  return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(b));
}

// A group's 16 vectors go into four accumulators, so the additions never wait on each other.
__attribute__((target("avx2,fma,f16c"))) void rows_avx2(float *y, const float *x,
                                                        const orv_int8_matrix_t &w, size_t r0,
                                                        size_t r1) {
  const size_t k = size_t(w.k), groups = k / kGroup;
  for (size_t r = r0; r < r1; ++r) {
    const int8_t *q = w.weights + r * k;
    __m256 acc = _mm256_setzero_ps();
    for (size_t g = 0; g < groups; ++g) {
      __m256 p[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                     _mm256_setzero_ps()};
      const size_t at = g * kGroup;
      orv_prefetch_ahead(q + at, kGroup);
#pragma GCC unroll 16
      for (size_t v = 0; v < kGroup / 8; ++v)
        p[v % 4] = _mm256_fmadd_ps(widen8(q + at + 8 * v), _mm256_loadu_ps(x + at + 8 * v),
                                   p[v % 4]);
      const __m256 part = _mm256_add_ps(_mm256_add_ps(p[0], p[1]), _mm256_add_ps(p[2], p[3]));
      acc = _mm256_fmadd_ps(part, _mm256_set1_ps(_cvtsh_ss(w.scales[r * groups + g])), acc);
    }
    y[r] = reduce8(acc);
  }
}

// Sixteen weights widened to floats. The zero-masked forms: GCC 12 warns about the unmasked ones'
// undefined start value.
__attribute__((target("avx512f"))) inline __m512 widen16(const int8_t *q) {
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
  return _mm512_maskz_cvtepi32_ps(0xffff, _mm512_maskz_cvtepi8_epi32(0xffff, b));
}

// One group's products into two accumulators (even and odd vectors), which are then scaled into
// the row's two sums.
__attribute__((target("avx512f,f16c"))) inline void group_avx512(const int8_t *q, const float *x,
                                                                 uint16_t scale, __m512 &acc0,
                                                                 __m512 &acc1) {
  __m512 p0 = _mm512_setzero_ps(), p1 = p0;
#pragma GCC unroll 4
  for (size_t v = 0; v < kGroup / 16; v += 2) {
    p0 = _mm512_fmadd_ps(widen16(q + 16 * v), _mm512_loadu_ps(x + 16 * v), p0);
    p1 = _mm512_fmadd_ps(widen16(q + 16 * v + 16), _mm512_loadu_ps(x + 16 * v + 16), p1);
  }
  const __m512 s = _mm512_set1_ps(_cvtsh_ss(scale));
  acc0 = _mm512_fmadd_ps(p0, s, acc0);
  acc1 = _mm512_fmadd_ps(p1, s, acc1);
}

// Two groups per pass, so four independent sums are in flight.
__attribute__((target("avx512f,f16c"))) void rows_avx512(float *y, const float *x,
                                                         const orv_int8_matrix_t &w, size_t r0,
                                                         size_t r1) {
  const size_t k = size_t(w.k), groups = k / kGroup;
  for (size_t r = r0; r < r1; ++r) {
    const int8_t *q = w.weights + r * k;
    const uint16_t *scales = w.scales + r * groups;
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    size_t g = 0;
    for (; g + 2 <= groups; g += 2) {
      orv_prefetch_ahead(q + g * kGroup, 2 * kGroup);
      group_avx512(q + g * kGroup, x + g * kGroup, scales[g], a0, a1);
      group_avx512(q + (g + 1) * kGroup, x + (g + 1) * kGroup, scales[g + 1], a2, a3);
    }
    if (g < groups) group_avx512(q + g * kGroup, x + g * kGroup, scales[g], a0, a1);
    const __m512 acc = _mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3));
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, acc);
    y[r] = reduce8(_mm256_add_ps(_mm256_load_ps(lanes), _mm256_load_ps(lanes + 8)));
  }
}

#elif defined(__aarch64__)

// Sixteen weights a step, widened through 16 and 32 bits, into four accumulators per group.
void rows_neon(float *y, const float *x, const orv_int8_matrix_t &w, size_t r0, size_t r1) {
  const size_t k = size_t(w.k), groups = k / kGroup;
  for (size_t r = r0; r < r1; ++r) {
    const int8_t *q = w.weights + r * k;
    float32x4_t acc = vdupq_n_f32(0.0f);
    for (size_t g = 0; g < groups; ++g) {
      const size_t at = g * kGroup;
      orv_prefetch_ahead(q + at, kGroup);
      float32x4_t p0 = vdupq_n_f32(0.0f), p1 = p0, p2 = p0, p3 = p0;
      for (size_t i = at; i < at + kGroup; i += 16) {
        const int8x16_t b = vld1q_s8(q + i);
        const int16x8_t lo = vmovl_s8(vget_low_s8(b)), hi = vmovl_s8(vget_high_s8(b));
        p0 = vfmaq_f32(p0, vcvtq_f32_s32(vmovl_s16(vget_low_s16(lo))), vld1q_f32(x + i));
        p1 = vfmaq_f32(p1, vcvtq_f32_s32(vmovl_s16(vget_high_s16(lo))), vld1q_f32(x + i + 4));
        p2 = vfmaq_f32(p2, vcvtq_f32_s32(vmovl_s16(vget_low_s16(hi))), vld1q_f32(x + i + 8));
        p3 = vfmaq_f32(p3, vcvtq_f32_s32(vmovl_s16(vget_high_s16(hi))), vld1q_f32(x + i + 12));
      }
      const float32x4_t part = vaddq_f32(vaddq_f32(p0, p1), vaddq_f32(p2, p3));
      acc = vfmaq_n_f32(acc, part, orv_f16_to_f32(w.scales[r * groups + g]));
    }
    y[r] = vaddvq_f32(acc);
  }
}

#endif

RowsFn path_fn(int path) {
  if (path == ORV_INT8_PATH_PORTABLE) return rows_portable;
#if defined(__x86_64__)
  if (path == ORV_INT8_PATH_AVX2 && orv_cpu().avx2) return rows_avx2;
  if (path == ORV_INT8_PATH_AVX512 && orv_cpu().avx512) return rows_avx512;
#elif defined(__aarch64__)
  if (path == ORV_INT8_PATH_NEON) return rows_neon;
#endif
  return nullptr;
}

RowsFn best_fn() {
  for (int path : {ORV_INT8_PATH_AVX512, ORV_INT8_PATH_AVX2, ORV_INT8_PATH_NEON})
    if (RowsFn fn = path_fn(path)) return fn;
  return rows_portable;
}

// Rows split across the thread pool, in blocks of 4 so that every thread runs whole blocks.
void run(RowsFn fn, float *y, const float *x, const orv_int8_matrix_t *w) {
  if (!fn || !y || !x || !w || w->n < 1 || w->k < 1) return;
  orv_parallel_for(size_t(w->n), 4, [&](size_t begin, size_t end) { fn(y, x, *w, begin, end); });
}

// A panel of dequantised rows for the multi-row path: 16 rows of up to 9216 inputs stay within a
// core's L2 cache while the BLAS multiplies them. One per thread; it only grows.
constexpr size_t kPanelRows = 16;

float *thread_panel(size_t count) {
  thread_local std::unique_ptr<float[]> buf;
  thread_local size_t cap = 0;
  if (cap < count) {
    buf.reset();
    cap = 0;
    try {
      buf = std::make_unique_for_overwrite<float[]>(count);
      cap = count;
    } catch (const std::bad_alloc &) {
    }
  }
  return buf.get();
}

// Rows R0 .. R0 + ROWS - 1, columns K0 .. K0 + DEPTH - 1 (whole groups), as floats.
void dequantise(const orv_int8_matrix_t &w, float *out, size_t stride, size_t r0, size_t rows,
                size_t k0, size_t depth) {
  const size_t k = size_t(w.k), groups = k / kGroup;
  for (size_t r = 0; r < rows; ++r) {
    for (size_t g = k0 / kGroup; g < (k0 + depth) / kGroup; ++g) {
      const float s = orv_f16_to_f32(w.scales[(r0 + r) * groups + g]);
      const int8_t *q = w.weights + (r0 + r) * k + g * kGroup;
      float *o = out + r * stride + g * kGroup - k0;
      for (size_t i = 0; i < kGroup; ++i) o[i] = float(q[i]) * s;
    }
  }
}

#if defined(__x86_64__)
// The same with AVX-512: the tiled product that asks for panels only runs where it is present.
__attribute__((target("avx512f,f16c"))) void dequantise_panel(const void *matrix, float *panel,
                                                              size_t stride, size_t n0,
                                                              size_t rows, size_t k0,
                                                              size_t depth) {
  const orv_int8_matrix_t &w = *static_cast<const orv_int8_matrix_t *>(matrix);
  const size_t k = size_t(w.k), groups = k / kGroup;
  for (size_t r = 0; r < rows; ++r) {
    orv_prefetch_span(w.weights + (n0 + rows + r) * k + k0, depth);  // the next panel's rows
    for (size_t g = k0 / kGroup; g < (k0 + depth) / kGroup; ++g) {
      const __m512 s = _mm512_set1_ps(_cvtsh_ss(w.scales[(n0 + r) * groups + g]));
      const int8_t *q = w.weights + (n0 + r) * k + g * kGroup;
      float *o = panel + r * stride + g * kGroup - k0;
#pragma GCC unroll 8
      for (size_t i = 0; i < kGroup; i += 16)
        _mm512_storeu_ps(o + i, _mm512_mul_ps(widen16(q + i), s));
    }
  }
}
#else
void dequantise_panel(const void *w, float *panel, size_t stride, size_t n0, size_t rows,
                      size_t k0, size_t depth) {
  dequantise(*static_cast<const orv_int8_matrix_t *>(w), panel, stride, n0, rows, k0, depth);
}
#endif

}  // namespace

extern "C" {

int orv_int8_path_supported(int path) { return path_fn(path) != nullptr; }

void orv_matvec_int8_path(int path, float *y, const float *x, const orv_int8_matrix_t *w) {
  run(path_fn(path), y, x, w);
}

void orv_matvec_int8(float *y, const float *x, const orv_int8_matrix_t *w) {
  static const RowsFn best = best_fn();
  run(best, y, x, w);
}

void orv_linear_int8(float *y, const float *x, const orv_int8_matrix_t *w, int m) {
  if (m < 1 || !w || w->n < 1 || w->k < 1) return;
  if (m == 1) {
    orv_matvec_int8(y, x, w);
    return;
  }
  if (orv_gemm_xwt(y, x, m, w->k, w->n, dequantise_panel, w)) return;
  const size_t k = size_t(w->k), n = size_t(w->n);
  orv_blas_single_thread();
  orv_parallel_for(n, kPanelRows, [&](size_t begin, size_t end) {
    float *panel = thread_panel(kPanelRows * k);
    for (size_t r0 = begin; r0 < end; r0 += kPanelRows) {
      const size_t rows = std::min(kPanelRows, end - r0);
      if (!panel) {  // no memory for a panel: the same rows, one input row at a time
        const orv_int8_matrix_t part{w->weights + r0 * k, w->scales + r0 * (k / kGroup),
                                     int32_t(rows), w->k};
        for (size_t r = 0; r < size_t(m); ++r) orv_matvec_int8(y + r * n + r0, x + r * k, &part);
        continue;
      }
      dequantise(*w, panel, k, r0, rows, 0, k);
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, int(rows), int(k), 1.0f, x, int(k),
                  panel, int(k), 0.0f, y + r0, int(n));
    }
  });
}

}  // extern "C"
