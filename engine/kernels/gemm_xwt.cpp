// The tiled kernel behind orv_gemm_xwt. A thread takes eight rows of W at a time and widens a
// block of their columns (up to kMaxDepth) into a float panel on its stack; every group of three
// rows of x is then multiplied against the panel as a 3 x 8 tile of vector accumulators, each
// lane summing every sixteenth term, and the tile's 24 sums are reduced and stored (the first
// block) or added (the blocks after it). The blocks of columns are the outer loop, so the block
// of x they cover stays in the core's second-level cache while the panels go by.
//
// The order of additions differs from the BLAS's, so results agree with it to single-precision
// rounding, not bit for bit; they never depend on the thread count.
#include "kernels/gemm_xwt.h"

#include <algorithm>

#include "base/cpu_features.h"
#include "base/thread_pool.h"

#if defined(__x86_64__)
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 intrinsics pass placeholder operands that its own -Wmaybe-uninitialized
// flags once inlined (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

constexpr size_t kPanelRows = 8;    // rows of W per panel: the tile's width
constexpr size_t kTileRows = 3;     // rows of x per tile: 24 accumulators, 4 more registers
constexpr size_t kMaxDepth = 1024;  // columns per panel: 32 KB of floats

#define ORV_AVX512 __attribute__((target("avx512f")))

// The four sums of A, B, C and D, in that order.
ORV_AVX512 inline __m128 sum4(__m512 a, __m512 b, __m512 c, __m512 d) {
  const __m512 ab = _mm512_add_ps(_mm512_unpacklo_ps(a, b), _mm512_unpackhi_ps(a, b));
  const __m512 cd = _mm512_add_ps(_mm512_unpacklo_ps(c, d), _mm512_unpackhi_ps(c, d));
  // Each 128-bit lane now holds partial sums of a, b, c and d, in that order.
  const __m512 abcd = _mm512_add_ps(_mm512_shuffle_ps(ab, cd, _MM_SHUFFLE(1, 0, 1, 0)),
                                    _mm512_shuffle_ps(ab, cd, _MM_SHUFFLE(3, 2, 3, 2)));
  const __m256 upper = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(abcd), 1));
  const __m256 h = _mm256_add_ps(_mm512_castps512_ps256(abcd), upper);
  return _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
}

// Rows x[0 .. R-1] (row stride LDX) times the panel's eight rows (stride STRIDE) over DEPTH
// columns, into y[0 .. R-1][0 .. COLS-1] (row stride LDY): stored when FIRST, else added.
// One step of 16 columns: R vectors of x (masked by M) against the panel's eight rows.
template <size_t R>
ORV_AVX512 inline void step(__m512 (&acc)[R * kPanelRows], const float *x, size_t ldx,
                            const float *panel, size_t stride, __mmask16 m) {
  __m512 xv[R];
#pragma GCC unroll 3
  for (size_t i = 0; i < R; ++i) xv[i] = _mm512_maskz_loadu_ps(m, x + i * ldx);
#pragma GCC unroll 8
  for (size_t j = 0; j < kPanelRows; ++j) {
    __m512 wv = _mm512_maskz_loadu_ps(m, panel + j * stride);
    // Held in a register: folded into every multiply-add, the load would be repeated R times.
    __asm__("" : "+v"(wv));
#pragma GCC unroll 3
    for (size_t i = 0; i < R; ++i)
      acc[i * kPanelRows + j] = _mm512_fmadd_ps(xv[i], wv, acc[i * kPanelRows + j]);
  }
}

// Rows x[0 .. R-1] (row stride LDX) times the panel's eight rows (stride STRIDE) over DEPTH
// columns, into y[0 .. R-1][0 .. COLS-1] (row stride LDY): stored when FIRST, else added.
template <size_t R>
ORV_AVX512 void tile(const float *x, size_t ldx, const float *panel, size_t stride, size_t depth,
                     float *y, size_t ldy, size_t cols, bool first) {
  __m512 acc[R * kPanelRows];
#pragma GCC unroll 24
  for (size_t i = 0; i < R * kPanelRows; ++i) acc[i] = _mm512_setzero_ps();
  const size_t full = depth & ~size_t{15};
  for (size_t c = 0; c < full; c += 16) step<R>(acc, x + c, ldx, panel + c, stride, 0xffff);
  if (full < depth)
    step<R>(acc, x + full, ldx, panel + full, stride, __mmask16((1u << (depth - full)) - 1));
  alignas(16) float sums[R * kPanelRows];
#pragma GCC unroll 6
  for (size_t t = 0; t < R * kPanelRows; t += 4)
    _mm_store_ps(sums + t, sum4(acc[t], acc[t + 1], acc[t + 2], acc[t + 3]));
  for (size_t i = 0; i < R; ++i) {
    float *out = y + i * ldy;
    const float *row = sums + i * kPanelRows;
    for (size_t j = 0; j < cols; ++j) out[j] = first ? row[j] : out[j] + row[j];
  }
}

struct Job {
  float *y;
  const float *x;
  size_t m, k, n, depth;
  OrvPanelFill fill;
  const void *w;
};

// Columns per block: the blocks are of equal depth (a multiple of 128, so that INT8 groups are
// never split), but the last.
size_t block_depth(size_t k) {
  const size_t blocks = (k + kMaxDepth - 1) / kMaxDepth;
  return std::min(kMaxDepth, ((k + blocks - 1) / blocks + 127) / 128 * 128);
}

ORV_AVX512 void run_rows(const Job &j, size_t begin, size_t end) {
  alignas(64) float panel[kPanelRows * kMaxDepth];
  for (size_t k0 = 0; k0 < j.k; k0 += j.depth) {
    const size_t d = std::min(j.depth, j.k - k0);
    const bool first = k0 == 0;
    for (size_t n0 = begin; n0 < end; n0 += kPanelRows) {
      const size_t rows = std::min(kPanelRows, end - n0);
      j.fill(j.w, panel, kMaxDepth, n0, rows, k0, d);
      // Rows past the end of W multiply as zeros, and their sums are never stored.
      std::fill(panel + rows * kMaxDepth, panel + kPanelRows * kMaxDepth, 0.0f);
      const float *x = j.x + k0;
      float *y = j.y + n0;
      size_t r = 0;
      for (; r + kTileRows <= j.m; r += kTileRows)
        tile<kTileRows>(x + r * j.k, j.k, panel, kMaxDepth, d, y + r * j.n, j.n, rows, first);
      if (j.m - r == 2)
        tile<2>(x + r * j.k, j.k, panel, kMaxDepth, d, y + r * j.n, j.n, rows, first);
      if (j.m - r == 1)
        tile<1>(x + r * j.k, j.k, panel, kMaxDepth, d, y + r * j.n, j.n, rows, first);
    }
  }
}

}  // namespace

bool orv_gemm_xwt(float *y, const float *x, int m, int k, int n, OrvPanelFill fill, const void *w) {
  if (!orv_cpu_has_avx512f() || !y || !x || !fill || !w) return false;
  if (m < 1 || k < 1 || n < 1) return true;
  const Job job{y, x, size_t(m), size_t(k), size_t(n), block_depth(size_t(k)), fill, w};
  orv_parallel_for(size_t(n), kPanelRows,
                   [&](size_t begin, size_t end) { run_rows(job, begin, end); });
  return true;
}

#else  // no tiled kernel on this CPU: the callers keep to the BLAS

bool orv_gemm_xwt(float *, const float *, int, int, int, OrvPanelFill, const void *) {
  return false;
}

#endif
