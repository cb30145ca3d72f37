#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"

// Y[m][n] = alpha * sum_k X[m][k] * W(n, k): W(n, k) = w[n * ldw + k] (trans_w, a linear layer's
// [N][K] weights) or w[k * ldw + n]. Weights are half precision unless WEIGHTS_F32; activations
// and accumulation are float. Each workgroup computes a TILE_M x TILE_N block of Y from shared
// tiles of TILE_K columns; each invocation holds a 4 x 4 block of it.
layout(constant_id = 0) const uint THREADS = 256;  // (TILE_M / 4) * (TILE_N / 4)
layout(local_size_x_id = 0) in;
layout(constant_id = 1) const uint TILE_M = 64;
layout(constant_id = 2) const uint TILE_N = 64;
layout(constant_id = 3) const uint TILE_K = 16;

layout(std430, binding = 0) readonly buffer X { float x[]; };
#ifdef WEIGHTS_F32
layout(std430, binding = 1) readonly buffer W { float w[]; };
float weight(uint i) { return w[i]; }
#else
layout(std430, binding = 1) readonly buffer W { uint w[]; };  // two halves per word
float weight(uint i) {
  const vec2 pair = unpackHalf2x16(w[i >> 1u]);
  return (i & 1u) == 0u ? pair.x : pair.y;
}
#endif
layout(std430, binding = 2) writeonly buffer Y { float y[]; };
layout(push_constant) uniform Args {
  int M; int N; int K; int lda; int ldw; int ldy; int x_off; int w_off; int y_off; int trans_w;
  float alpha;
} a;

shared float xs[TILE_K * TILE_M];
shared float ws[TILE_K * TILE_N];

void main() {
  const uint M = uint(a.M), N = uint(a.N), K = uint(a.K);
  const uint tiles_n = (N + TILE_N - 1u) / TILE_N;
  const uint tile = flat_group();
  const uint m0 = (tile / tiles_n) * TILE_M, n0 = (tile % tiles_n) * TILE_N;
  if (m0 >= M) return;
  const uint t = gl_LocalInvocationID.x, threads = THREADS;
  const uint ty = t / (TILE_N / 4u), tx = t % (TILE_N / 4u);
  const uint rstep = TILE_M / 4u, cstep = TILE_N / 4u;

  float acc[4][4];
  for (uint i = 0u; i < 4u; i++)
    for (uint j = 0u; j < 4u; j++) acc[i][j] = 0.0;

  for (uint k0 = 0u; k0 < K; k0 += TILE_K) {
    for (uint i = t; i < TILE_K * TILE_M; i += threads) {
      const uint kk = i % TILE_K, mm = i / TILE_K, m = m0 + mm, k = k0 + kk;
      xs[kk * TILE_M + mm] = (m < M && k < K) ? x[uint(a.x_off) + m * uint(a.lda) + k] : 0.0;
    }
    for (uint i = t; i < TILE_K * TILE_N; i += threads) {
      uint kk, nn;
      if (a.trans_w != 0) {
        kk = i % TILE_K;
        nn = i / TILE_K;
      } else {
        nn = i % TILE_N;
        kk = i / TILE_N;
      }
      const uint n = n0 + nn, k = k0 + kk;
      float wv = 0.0;
      if (n < N && k < K)
        wv = weight(uint(a.w_off) + (a.trans_w != 0 ? n * uint(a.ldw) + k : k * uint(a.ldw) + n));
      ws[kk * TILE_N + nn] = wv;
    }
    barrier();
    // The hot loop: 16 multiply-adds per pair of shared reads of 4 values.
    for (uint kk = 0u; kk < TILE_K; kk++) {
      float xv[4], wv[4];
      for (uint i = 0u; i < 4u; i++) xv[i] = xs[kk * TILE_M + ty + i * rstep];
      for (uint j = 0u; j < 4u; j++) wv[j] = ws[kk * TILE_N + tx + j * cstep];
      for (uint i = 0u; i < 4u; i++)
        for (uint j = 0u; j < 4u; j++) acc[i][j] = fma(xv[i], wv[j], acc[i][j]);
    }
    barrier();
  }
  for (uint i = 0u; i < 4u; i++) {
    const uint m = m0 + ty + i * rstep;
    if (m >= M) continue;
    for (uint j = 0u; j < 4u; j++) {
      const uint n = n0 + tx + j * cstep;
      if (n < N) y[uint(a.y_off) + m * uint(a.ldy) + n] = a.alpha * acc[i][j];
    }
  }
}
