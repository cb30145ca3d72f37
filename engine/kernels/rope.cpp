// Rotary position embedding. Adjacent pairs (x[2i], x[2i+1]) of every head are multiplied, as a
// complex number, by cos(angle) + i sin(angle), angle = position * theta^(-2i / head_dim).
#include <cmath>
#include <cstddef>

#include "kernels/kernels.h"

extern "C" {

void orv_rope_freqs(float *table, const int32_t *positions, int n, int head_dim, float theta) {
  if (n < 1 || head_dim < 2) return;
  const size_t half = static_cast<size_t>(head_dim / 2);
  const size_t stride = static_cast<size_t>(head_dim & ~1);
  const float inv_dim = 1.0f / static_cast<float>(head_dim);
  // Pair by pair, so each frequency is computed once for all rows.
  for (size_t i = 0; i < half; ++i) {
    const float freq = std::pow(theta, -static_cast<float>(2 * i) * inv_dim);
    for (size_t r = 0; r < static_cast<size_t>(n); ++r) {
      const float angle = freq * static_cast<float>(positions[r]);
      table[r * stride + 2 * i] = std::cos(angle);
      table[r * stride + 2 * i + 1] = std::sin(angle);
    }
  }
}

void orv_apply_rope(float *x, const float *table, int n, int n_heads, int head_dim) {
  if (n < 1 || n_heads < 1 || head_dim < 2) return;
  const size_t hd = static_cast<size_t>(head_dim);
  const size_t half = hd / 2;
  const size_t stride = hd & ~size_t{1};
  for (size_t r = 0; r < static_cast<size_t>(n); ++r) {
    const float *t = table + r * stride;
    float *row = x + r * static_cast<size_t>(n_heads) * hd;
    for (size_t h = 0; h < static_cast<size_t>(n_heads); ++h) {
      float *xh = row + h * hd;
      for (size_t i = 0; i < half; ++i) {
        const float a = xh[2 * i];
        const float b = xh[2 * i + 1];
        const float c = t[2 * i];
        const float s = t[2 * i + 1];
        xh[2 * i] = a * c - b * s;
        xh[2 * i + 1] = a * s + b * c;
      }
    }
  }
}

}  // extern "C"
