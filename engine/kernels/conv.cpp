// One-dimensional convolutions over channel-major data: in [C_in][L_in], W [C_out][C_in][K],
// out [C_out][L_out]. The causal form feeds the encoder's stem and runs as a BLAS product over an
// im2col matrix; the direct form is the plain textbook loop.

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/free_deleter.h"
#include "kernels/kernels.h"
#include "kernels/sgemm.h"

namespace {

// Smallest t >= 0 with t * stride >= v (v may be negative).
int64_t first_step_at_or_after(int64_t v, int64_t stride) {
  return v <= 0 ? 0 : (v + stride - 1) / stride;
}

}  // namespace

extern "C" {

void orv_causal_conv1d(float *out, const float *in, const float *w, const float *bias, int c_in,
                       int c_out, int l_in, int k, int stride) {
  if (c_in < 1 || c_out < 1 || l_in < 1 || k < 1 || stride < 1) return;
  const int64_t l_out = (static_cast<int64_t>(l_in) + stride - 1) / stride;  // ceil(L_in / stride)
  const int64_t rows = static_cast<int64_t>(c_in) * k;
  if (rows > INT_MAX) return;  // beyond what one sgemm can address

  // Column matrix [C_in * K][L_out]: row (c, tap) holds in[c][t * stride + tap - (K - stride)]
  // for every output t, zero where that index falls before or after the input. Each row is
  // filled as a leading zero run, a copied run and a trailing zero run.
  std::unique_ptr<float[], FreeDeleter> cols(
      static_cast<float *>(std::malloc(static_cast<size_t>(rows * l_out) * sizeof(float))));
  if (!cols) return;
  const int64_t pad = static_cast<int64_t>(k) - stride;
  for (int64_t c = 0; c < c_in; ++c) {
    const float *src = in + c * l_in;
    for (int64_t tap = 0; tap < k; ++tap) {
      float *row = cols.get() + (c * k + tap) * l_out;
      const int64_t shift = tap - pad;  // input index of output t is t * stride + shift
      const int64_t t0 = std::min(first_step_at_or_after(-shift, stride), l_out);
      const int64_t t1 = std::max(std::min(first_step_at_or_after(l_in - shift, stride), l_out), t0);
      std::fill(row, row + t0, 0.0f);
      if (stride == 1) {
        std::memcpy(row + t0, src + t0 + shift, static_cast<size_t>(t1 - t0) * sizeof(float));
      } else {
        for (int64_t t = t0; t < t1; ++t) row[t] = src[t * stride + shift];
      }
      std::fill(row + t1, row + l_out, 0.0f);
    }
  }

  const int n = static_cast<int>(l_out);
  const int inner = static_cast<int>(rows);
  orv_sgemm(false, c_out, n, inner, w, inner, cols.get(), n, out, n);
  if (bias) {
    for (int64_t co = 0; co < c_out; ++co) {
      float *orow = out + co * l_out;
      for (int64_t t = 0; t < l_out; ++t) orow[t] += bias[co];
    }
  }
}

void orv_conv1d(float *out, const float *in, const float *w, const float *bias, int c_in,
                int c_out, int l_in, int k, int stride, int padding) {
  if (c_out < 1 || l_in < 1 || k < 1 || stride < 1) return;
  // A kernel wider than the padded input has no output position at all (truncating division
  // would otherwise round a negative span up to one output).
  const int64_t span = static_cast<int64_t>(l_in) - k + 2 * static_cast<int64_t>(padding);
  if (span < 0) return;
  const int64_t l_out = span / stride + 1;
  for (int64_t co = 0; co < c_out; ++co) {
    const float b = bias ? bias[co] : 0.0f;
    for (int64_t t = 0; t < l_out; ++t) {
      const int64_t start = t * stride - padding;
      float acc = b;
      for (int64_t c = 0; c < c_in; ++c) {
        const float *wk = w + (co * c_in + c) * k;
        const float *src = in + c * l_in;
        for (int64_t tap = 0; tap < k; ++tap) {
          const int64_t j = start + tap;
          if (j >= 0 && j < l_in) acc = std::fma(wk[tap], src[j], acc);
        }
      }
      out[co * l_out + t] = acc;
    }
  }
}

}  // extern "C"
