// Matrix products through cblas_sgemm (row-major, alpha 1, beta 0: outputs are overwritten), and
// the BF16 linear layers: the GPU when its backend takes the product, the direct single-row
// product for one row, otherwise the weights widened into a scratch buffer and one sgemm.
#include <cblas.h>

#include <cstdlib>
#include <memory>

#include "bf16.h"
#include "free_deleter.h"
#include "gpu/gpu.h"
#include "kernels.h"

namespace {

// Widened weights of the multi-row BF16 path. It only grows, so a layer's next call reuses it.
// One per thread: two contexts driven from two threads must not widen into the same buffer.
thread_local std::unique_ptr<float[], FreeDeleter> t_scratch;
thread_local size_t t_scratch_cap = 0;

// Widened copy of the K*N weights W, or null when the buffer cannot be grown (the next call
// tries again).
const float *widen_to_scratch(const uint16_t *w, size_t count) {
  if (t_scratch_cap < count) {
    t_scratch.reset();
    t_scratch_cap = 0;
    t_scratch.reset(static_cast<float *>(std::malloc(count * sizeof(float))));
    if (!t_scratch) return nullptr;
    t_scratch_cap = count;
  }
  orv_bf16_widen(t_scratch.get(), w, count);
  return t_scratch.get();
}

// out[M][N] = a[M][K] * b[N][K]^T
void sgemm_nt(float *out, const float *a, const float *b, int m, int k, int n) {
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, n, k, 1.0f, a, k, b, k, 0.0f, out, n);
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
  const float *wf = widen_to_scratch(w, static_cast<size_t>(k) * static_cast<size_t>(n));
  if (!wf) return;
  sgemm_nt(y, x, wf, m, k, n);
  if (bias) add_bias_rows(y, bias, m, n);
}

}  // namespace

extern "C" {

void orv_matmul(float *out, const float *a, const float *b, int m, int k, int n) {
  if (m < 1 || k < 1 || n < 1) return;
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a, k, b, n, 0.0f, out, n);
}

void orv_matmul_t(float *out, const float *a, const float *b, int m, int k, int n) {
  if (m < 1 || k < 1 || n < 1) return;
  sgemm_nt(out, a, b, m, k, n);
}

void orv_linear(float *y, const float *x, const float *w, const float *bias, int m, int k, int n) {
  if (m < 1 || k < 1 || n < 1) return;
  sgemm_nt(y, x, w, m, k, n);
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
