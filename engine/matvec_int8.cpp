// Products with INT8 weights and float activations. The single row is the decoder step's hot
// loop: it streams one byte per weight, half of what the BF16 product reads, and widens the bytes
// in registers; each group of 128 products is summed and then scaled once. Several rows share
// every load of x, and the rows are split across the thread pool. The AVX2 and AVX-512 paths are
// picked at run time; each sums in its own lane order, so the paths agree to rounding, not bit
// for bit. Several input rows (the prefill) go
// through the BLAS on small panels of dequantised rows instead, one per thread.
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif
#include <cblas.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

#include "int8_weights.h"
#include "sgemm.h"
#include "thread_pool.h"

namespace {

using RowsFn = void (*)(float *y, const float *x, const orv_int8_matrix_t &w, size_t r0,
                        size_t r1);

constexpr size_t kGroup = ORV_INT8_GROUP;

void rows_portable(float *y, const float *x, const orv_int8_matrix_t &w, size_t r0, size_t r1) {
  const size_t k = size_t(w.k), groups = k / kGroup;
  for (size_t r = r0; r < r1; ++r) {
    const int8_t *q = w.weights + r * k;
    float sum = 0.0f;
    for (size_t g = 0; g < groups; ++g) {
      float part = 0.0f;
      for (size_t i = g * kGroup; i < (g + 1) * kGroup; ++i) part += x[i] * float(q[i]);
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

template <int R>
__attribute__((target("avx2,fma,f16c"))) void block_avx2(float *y, const float *x,
                                                         const orv_int8_matrix_t &w, size_t r0) {
  const size_t k = size_t(w.k), groups = k / kGroup;
  __m256 acc[R];
  for (int i = 0; i < R; ++i) acc[i] = _mm256_setzero_ps();
  for (size_t g = 0; g < groups; ++g) {
    __m256 part[R];
    for (int i = 0; i < R; ++i) part[i] = _mm256_setzero_ps();
    for (size_t j = g * kGroup; j < (g + 1) * kGroup; j += 8) {
      const __m256 xv = _mm256_loadu_ps(x + j);
#pragma GCC unroll 4
      for (int i = 0; i < R; ++i) {
        const __m128i b =
            _mm_loadl_epi64(reinterpret_cast<const __m128i *>(w.weights + (r0 + i) * k + j));
        part[i] = _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(b)), xv, part[i]);
      }
    }
    for (int i = 0; i < R; ++i) {
      const float s = _cvtsh_ss(w.scales[(r0 + i) * groups + g]);
      acc[i] = _mm256_fmadd_ps(part[i], _mm256_set1_ps(s), acc[i]);
    }
  }
  for (int i = 0; i < R; ++i) y[r0 + i] = reduce8(acc[i]);
}

__attribute__((target("avx2,fma,f16c"))) void rows_avx2(float *y, const float *x,
                                                        const orv_int8_matrix_t &w, size_t r0,
                                                        size_t r1) {
  size_t r = r0;
  for (; r + 4 <= r1; r += 4) block_avx2<4>(y, x, w, r);
  for (; r < r1; ++r) block_avx2<1>(y, x, w, r);
}

template <int R>
__attribute__((target("avx512f,f16c"))) void block_avx512(float *y, const float *x,
                                                          const orv_int8_matrix_t &w, size_t r0) {
  const size_t k = size_t(w.k), groups = k / kGroup;
  __m512 acc[R];
  for (int i = 0; i < R; ++i) acc[i] = _mm512_setzero_ps();
  for (size_t g = 0; g < groups; ++g) {
    __m512 part[R];
    for (int i = 0; i < R; ++i) part[i] = _mm512_setzero_ps();
    for (size_t j = g * kGroup; j < (g + 1) * kGroup; j += 16) {
      const __m512 xv = _mm512_loadu_ps(x + j);
#pragma GCC unroll 4
      for (int i = 0; i < R; ++i) {
        const __m128i b =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(w.weights + (r0 + i) * k + j));
        // The zero-masked forms: GCC 12 warns about the unmasked ones' undefined start value.
        const __m512i q = _mm512_maskz_cvtepi8_epi32(0xffff, b);
        part[i] = _mm512_fmadd_ps(_mm512_maskz_cvtepi32_ps(0xffff, q), xv, part[i]);
      }
    }
    for (int i = 0; i < R; ++i) {
      const float s = _cvtsh_ss(w.scales[(r0 + i) * groups + g]);
      acc[i] = _mm512_fmadd_ps(part[i], _mm512_set1_ps(s), acc[i]);
    }
  }
  for (int i = 0; i < R; ++i) {
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, acc[i]);
    y[r0 + i] = reduce8(_mm256_add_ps(_mm256_load_ps(lanes), _mm256_load_ps(lanes + 8)));
  }
}

__attribute__((target("avx512f,f16c"))) void rows_avx512(float *y, const float *x,
                                                         const orv_int8_matrix_t &w, size_t r0,
                                                         size_t r1) {
  size_t r = r0;
  for (; r + 4 <= r1; r += 4) block_avx512<4>(y, x, w, r);
  for (; r < r1; ++r) block_avx512<1>(y, x, w, r);
}

#endif  // __x86_64__

RowsFn path_fn(int path) {
  if (path == ORV_INT8_PATH_PORTABLE) return rows_portable;
#if defined(__x86_64__)
  __builtin_cpu_init();
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;  // half conversions: CPUID 1, ECX bit 29
  const bool f16c = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C);
  if (path == ORV_INT8_PATH_AVX2 && __builtin_cpu_supports("avx2") &&
      __builtin_cpu_supports("fma") && f16c)
    return rows_avx2;
  if (path == ORV_INT8_PATH_AVX512 && __builtin_cpu_supports("avx512f") && f16c)
    return rows_avx512;
#endif
  return nullptr;
}

RowsFn best_fn() {
  for (int path : {ORV_INT8_PATH_AVX512, ORV_INT8_PATH_AVX2})
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

void dequantise_rows(float *out, const orv_int8_matrix_t &w, size_t r0, size_t rows) {
  const size_t k = size_t(w.k), groups = k / kGroup;
  for (size_t r = 0; r < rows; ++r)
    for (size_t g = 0; g < groups; ++g) {
      const float s = orv_f16_to_f32(w.scales[(r0 + r) * groups + g]);
      const int8_t *q = w.weights + (r0 + r) * k + g * kGroup;
      float *o = out + r * k + g * kGroup;
      for (size_t i = 0; i < kGroup; ++i) o[i] = float(q[i]) * s;
    }
}

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
      dequantise_rows(panel, *w, r0, rows);
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, int(rows), int(k), 1.0f, x, int(k),
                  panel, int(k), 0.0f, y + r0, int(n));
    }
  });
}

}  // extern "C"
