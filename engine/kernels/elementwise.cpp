// Element-wise and row-wise kernels: residual adds, gating, activations, RMS norm, softmax.
// All arithmetic is single precision; the activations keep their single-precision constants so
// the CPU and GPU paths round the same way.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "base/thread_pool.h"
#include "kernels/kernels.h"

namespace {

// Activations cost an exponential or a tanh per value: from this many values on (an encoder
// chunk's feed-forward rows) they are spread over the threads. Cheaper kernels are bound by
// memory and stay on one thread.
constexpr size_t kParallelMinValues = size_t{1} << 14;

// Runs FN(begin, end) over [0, n), across the threads when n reaches kParallelMinValues.
template <typename Fn>
void over_values(size_t n, Fn &&fn) {
  if (n < kParallelMinValues)
    fn(size_t{0}, n);
  else
    orv_parallel_for(n, 16, fn);
}

}  // namespace

extern "C" {

void orv_add_inplace(float *a, const float *b, int n) {
  for (int i = 0; i < n; ++i) a[i] += b[i];
}

void orv_mul_inplace(float *a, const float *b, int n) {
  for (int i = 0; i < n; ++i) a[i] *= b[i];
}

void orv_axpy(float *y, const float *x, int n, float alpha) {
  for (int i = 0; i < n; ++i) y[i] = std::fma(x[i], alpha, y[i]);
}

void orv_scale(float *x, int n, float s) {
  for (int i = 0; i < n; ++i) x[i] *= s;
}

void orv_copy(float *dst, const float *src, int n) {
  if (n > 0) std::memmove(dst, src, static_cast<size_t>(n) * sizeof(float));
}

void orv_silu(float *x, int n) {
  if (n < 1) return;
  over_values(size_t(n), [x](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) x[i] = x[i] / (1.0f + std::exp(-x[i]));
  });
}

void orv_gelu(float *x, int n) {
  if (n < 1) return;
  over_values(size_t(n), [x](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const float v = x[i];
      const float h = 0.5f * v;
      const float inner = std::fma(v * v, 0.044715f * v, v) * 0.7978846f;
      x[i] = std::fma(std::tanh(inner), h, h);
    }
  });
}

void orv_rms_norm(float *out, const float *x, const float *weight, int rows, int dim, float eps) {
  if (rows < 1 || dim < 1) return;
  const size_t width = static_cast<size_t>(dim);
  const float inv_dim = 1.0f / static_cast<float>(dim);
  for (size_t r = 0; r < static_cast<size_t>(rows); ++r) {
    const float *xr = x + r * width;
    float *orow = out + r * width;
    // The whole sum is taken before the row is written, which makes out == x safe.
    float s = 0.0f;
    for (size_t i = 0; i < width; ++i) s += xr[i] * xr[i];
    const float inv_r = 1.0f / std::sqrt(std::fma(s, inv_dim, eps));
    for (size_t i = 0; i < width; ++i) orow[i] = weight[i] * xr[i] * inv_r;
  }
}

void orv_softmax(float *x, int rows, int cols) {
  if (rows < 1 || cols < 1) return;
  const size_t width = static_cast<size_t>(cols);
  for (size_t r = 0; r < static_cast<size_t>(rows); ++r) {
    float *row = x + r * width;
    float m = row[0];
    for (size_t i = 1; i < width; ++i) m = std::fmax(m, row[i]);
    float sum = 0.0f;
    for (size_t i = 0; i < width; ++i) {
      row[i] = std::exp(row[i] - m);
      sum += row[i];
    }
    const float inv = 1.0f / sum;
    for (size_t i = 0; i < width; ++i) row[i] *= inv;
  }
}

}  // extern "C"
