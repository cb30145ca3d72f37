// CPU numeric kernels over single-precision row-major arrays. BF16 weights are uint16_t arrays
// holding the upper half of a float; linear weights are [out][in], so y = x * W^T (+ bias).
// Sizes are signed 32-bit; a non-positive size makes a kernel a no-op unless stated otherwise.
#ifndef ORVANE_KERNELS_H
#define ORVANE_KERNELS_H

#include <stdint.h>

#include "base/half.h"
#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

void orv_add_inplace(float *a, const float *b, int n);  // a += b
void orv_mul_inplace(float *a, const float *b, int n);  // a *= b
void orv_axpy(float *y, const float *x, int n, float alpha);  // y = fma(x, alpha, y)
void orv_scale(float *x, int n, float s);
void orv_copy(float *dst, const float *src, int n);

// out[M][N] = A[M][K] * B[K][N]
void orv_matmul(float *out, const float *a, const float *b, int m, int k, int n);
// out[M][N] = A[M][K] * B[N][K]^T
void orv_matmul_t(float *out, const float *a, const float *b, int m, int k, int n);
// y[M][N] = x[M][K] * W[N][K]^T (+ bias on every row)
void orv_linear(float *y, const float *x, const float *w, const float *bias, int m, int k,
                int n);
// y[M][N] = x[M][K] * W[N][K]^T with BF16 W. Runs on the GPU when its backend takes the product.
// With K < 1 every row is zero (or the bias, below). Several rows go through the BLAS in
// cache-sized panels of widened weights, one small buffer per thread; a thread that cannot get
// its buffer computes its rows with the single-row product instead.
void orv_linear_nobias_bf16(float *y, const float *x, const uint16_t *w, int m, int k,
                            int n);
// y[N] = W[N][K] * x[K] (+ bias) with BF16 W, one row, no scratch; rows split across threads
void orv_matvec_bf16(float *y, const float *x, const uint16_t *w, const float *bias, int k,
                     int n);
// y[M][N] = x[M][K] * W[N][K]^T (+ bias on every row) with BF16 W
void orv_linear_bf16(float *y, const float *x, const uint16_t *w, const float *bias, int m,
                     int k, int n);

// Direct convolution with symmetric zero padding. in [C_in][L_in], W [C_out][C_in][K].
void orv_conv1d(float *out, const float *in, const float *w, const float *bias, int c_in,
                int c_out, int l_in, int k, int stride, int padding);
// Causal convolution (left padding K - stride), out [C_out][ceil(L_in / stride)].
void orv_causal_conv1d(float *out, const float *in, const float *w, const float *bias,
                       int c_in, int c_out, int l_in, int k, int stride);

// Row-wise RMS norm; OUT may equal X.
void orv_rms_norm(float *out, const float *x, const float *weight, int rows, int dim,
                  float eps);
void orv_silu(float *x, int n);
void orv_gelu(float *x, int n);  // tanh form
void orv_softmax(float *x, int rows, int cols);

// Causal sliding-window attention with grouped key/value heads.
// q, out [n_q][n_heads * head_dim]; k, v [n_kv][n_kv_heads * head_dim]; query i sits at key row
// q_offset + i and sees at most WINDOW keys ending at itself (all earlier keys for WINDOW < 1); a
// query with no visible key gets zeros. n_heads must be a multiple of n_kv_heads, else nothing
// is written.
void orv_attention(float *out, const float *q, const float *k, const float *v, int n_q,
                   int n_kv, int n_heads, int n_kv_heads, int head_dim, int window,
                   int q_offset, float scale);
// The same, always by the one-pass form that CPUs without AVX-512 use (tests compare the two).
void orv_attention_one_pass(float *out, const float *q, const float *k, const float *v,
                            int n_q, int n_kv, int n_heads, int n_kv_heads, int head_dim,
                            int window, int q_offset, float scale);

// Rotary table [n][head_dim & ~1]: (cos, sin) pairs per position.
void orv_rope_freqs(float *table, const int32_t *positions, int n, int head_dim,
                    float theta);
// Rotates adjacent pairs of every head of x [n][n_heads * head_dim] by table row r.
void orv_apply_rope(float *x, const float *table, int n, int n_heads, int head_dim);

#ifdef __cplusplus
}
#endif

#endif
