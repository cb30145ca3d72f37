// Matrix products through the BLAS (alpha 1, beta 0: outputs are overwritten), and the BF16
// linear layers: the GPU when its backend takes the product, the direct single-row product for
// one row, otherwise the tiled kernel or, on CPUs without it, panels of W widened into a small
// per-thread buffer and multiplied by the BLAS while they are still in the cache. No call widens
// (or writes out) a whole matrix.
#include <cblas.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "base/bf16.h"
#include "base/free_deleter.h"
#include "base/prefetch.h"
#include "base/thread_pool.h"
#include "gpu/gpu.h"
#include "kernels/gemm_xwt.h"
#include "kernels/kernels.h"
#include "kernels/sgemm.h"

namespace {

// A widened panel is up to 128 rows of W by up to 512 columns (256 KB): it and the matching
// block of x (M rows of the same columns) stay in a core's L2 cache while the BLAS multiplies
// them, and the products of successive column blocks are accumulated into y.
constexpr size_t kPanelRows = 128;
constexpr size_t kPanelDepth = 512;

// The calling thread's panel buffer with room for COUNT floats, or null when it cannot grow.
// It only grows, so every later panel reuses it.
float *thread_panel(size_t count) {
  thread_local std::unique_ptr<float[], FreeDeleter> buf;
  thread_local size_t cap = 0;
  if (cap < count) {
    buf.reset(static_cast<float *>(std::malloc(count * sizeof(float))));
    cap = buf ? count : 0;
  }
  return buf.get();
}

// y[M][N] = x[M][K] * W^T for M > 1, panel by panel. Column blocks are of equal depth (a
// multiple of 16 but the last), so a K just above a block size does not leave a sliver.
void linear_panels(float *y, const float *x, const uint16_t *w, int m, int k, int n) {
  const size_t kk = size_t(k);
  const size_t blocks = (kk + kPanelDepth - 1) / kPanelDepth;
  const size_t depth = ((kk + blocks - 1) / blocks + 15) / 16 * 16;
  orv_blas_single_thread();
  orv_parallel_for(size_t(n), kPanelRows, [&](size_t begin, size_t end) {
    float *panel = thread_panel(kPanelRows * depth);
    for (size_t n0 = begin; n0 < end; n0 += kPanelRows) {
      const size_t rows = std::min(kPanelRows, end - n0);
      if (!panel) {  // no memory for a panel: the same rows, one input row at a time
        for (size_t r = 0; r < size_t(m); ++r)
          orv_matvec_bf16(y + r * size_t(n) + n0, x + r * kk, w + n0 * kk, nullptr, k, int(rows));
        continue;
      }
      for (size_t k0 = 0; k0 < kk; k0 += depth) {
        const size_t d = std::min(depth, kk - k0);
        for (size_t r = 0; r < rows; ++r) orv_bf16_widen(panel + r * d, w + (n0 + r) * kk + k0, d);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, int(rows), int(d), 1.0f, x + k0, k,
                    panel, int(d), k0 == 0 ? 0.0f : 1.0f, y + n0, n);
      }
    }
  });
}

struct Bf16Matrix {
  const uint16_t *w;
  size_t k;
};

void widen_panel(const void *matrix, float *panel, size_t stride, size_t n0, size_t rows,
                 size_t k0, size_t depth) {
  const auto &m = *static_cast<const Bf16Matrix *>(matrix);
  for (size_t r = 0; r < rows; ++r) {
    orv_prefetch_span(m.w + (n0 + rows + r) * m.k + k0, depth * sizeof(uint16_t));  // next panel
    orv_bf16_widen(panel + r * stride, m.w + (n0 + r) * m.k + k0, depth);
  }
}

void add_bias_rows(float *y, const float *bias, int m, int n) {
  for (size_t r = 0; r < static_cast<size_t>(m); ++r)
    orv_add_inplace(y + r * static_cast<size_t>(n), bias, n);
}

// Shared body of the two BF16 linear layers.
void linear_bf16(float *y, const float *x, const uint16_t *w, const float *bias, int m, int k,
                 int n) {
  if (m < 1 || n < 1) return;
  if (k < 1) {  // an empty product: every row is the bias alone, as in the single-row path
    for (size_t r = 0; r < static_cast<size_t>(m); ++r)
      orv_matvec_bf16(y + r * static_cast<size_t>(n), x, w, bias, k, n);
    return;
  }
  if (orv_gpu_available() && orv_gpu_sgemm_bf16(m, n, k, x, w, y) >= 0) {
    if (bias) add_bias_rows(y, bias, m, n);
    return;
  }
  if (m == 1) {
    orv_matvec_bf16(y, x, w, bias, k, n);
    return;
  }
  const Bf16Matrix matrix{w, size_t(k)};
  if (!orv_gemm_xwt(y, x, m, k, n, widen_panel, &matrix)) linear_panels(y, x, w, m, k, n);
  if (bias) add_bias_rows(y, bias, m, n);
}

}  // namespace

extern "C" {

void orv_matmul(float *out, const float *a, const float *b, int m, int k, int n) {
  orv_sgemm(false, m, n, k, a, k, b, n, out, n);
}

void orv_matmul_t(float *out, const float *a, const float *b, int m, int k, int n) {
  orv_sgemm(true, m, n, k, a, k, b, k, out, n);
}

void orv_linear(float *y, const float *x, const float *w, const float *bias, int m, int k, int n) {
  if (m < 1 || k < 1 || n < 1) return;
  orv_sgemm(true, m, n, k, x, k, w, k, y, n);
  if (bias) add_bias_rows(y, bias, m, n);
}

void orv_linear_nobias_bf16(float *y, const float *x, const uint16_t *w, int m, int k, int n) {
  linear_bf16(y, x, w, nullptr, m, k, n);
}

void orv_linear_bf16(float *y, const float *x, const uint16_t *w, const float *bias, int m, int k,
                     int n) {
  linear_bf16(y, x, w, bias, m, k, n);
}

}  // extern "C"
