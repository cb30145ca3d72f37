#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
#include "online_softmax.glsl"

// Eight queries per workgroup, so each key and value row is read once per eight queries.
// Workgroup g serves head g / ceil(seq_q / 8) and queries 8 * (g mod ceil(seq_q / 8)) + 0..7.
// Keys go in tiles of 32: every invocation scores two (query, key) pairs of a tile whole, then
// the invocations of the output values fold the tile into their running softmax; two barriers
// per tile, none per key.
// Q, out [seq_q][n_heads * head_dim]; K, V [seq_k][n_kv_heads * head_dim]; head_dim <= 128.
layout(local_size_x = 128) in;

const uint BQ = 8u, TK = 32u;

layout(std430, binding = 0) readonly buffer Q { float q[]; };
#ifdef KV_HALF  // the device's key/value caches: two halves per word
#include "kv_half.glsl"
layout(std430, binding = 1) readonly buffer K { uint k2[]; };
layout(std430, binding = 2) readonly buffer V { uint v2[]; };
float key_at(uint i) { return half_at(k2[i >> 1u], i); }
float value_at(uint i) { return half_at(v2[i >> 1u], i); }
#else
layout(std430, binding = 1) readonly buffer K { float k[]; };
layout(std430, binding = 2) readonly buffer V { float v[]; };
float key_at(uint i) { return k[i]; }
float value_at(uint i) { return v[i]; }
#endif
layout(std430, binding = 3) writeonly buffer Out { float o[]; };
layout(push_constant) uniform Args {
  int n_heads; int n_kv_heads; int head_dim; int seq_q; int seq_k; float scale; int window_size;
  int q_offset;
} a;

shared float qs[BQ * 128u];  // [query][head_dim]
shared float score[BQ * TK];  // [query][key of the tile]; -infinity: a key the query does not see

void main() {
  const uint blocks = (uint(a.seq_q) + BQ - 1u) / BQ;
  const uint g = flat_group();
  const uint h = g / blocks, qi0 = (g % blocks) * BQ;
  if (h >= uint(a.n_heads)) return;
  const uint t = gl_LocalInvocationID.x, hd = uint(a.head_dim);
  const uint q_stride = uint(a.n_heads) * hd, kv_stride = uint(a.n_kv_heads) * hd;
  const uint kv_base = (h / uint(a.n_heads / a.n_kv_heads)) * hd;
  const float neg_inf = uintBitsToFloat(0xFF800000u);

  for (uint i = t; i < BQ * hd; i += 128u) {
    const uint b = i / hd, qi = qi0 + b;
    qs[b * 128u + i % hd] = qi < uint(a.seq_q) ? q[qi * q_stride + h * hd + i % hd] : 0.0;
  }
  float m[BQ], l[BQ], acc[BQ];
  for (uint b = 0u; b < BQ; b++) {
    m[b] = neg_inf;
    l[b] = 0.0;
    acc[b] = 0.0;
  }
  const int first = a.q_offset + int(qi0);
  const int last = min(a.q_offset + min(int(qi0 + BQ) - 1, a.seq_q - 1), a.seq_k - 1);
  for (int j0 = window_start(first, a.window_size); j0 <= last; j0 += int(TK)) {
    barrier();  // the previous tile's scores are folded (and qs is written, on the first tile)
    for (uint p = t; p < BQ * TK; p += 128u) {
      const uint b = p / TK;
      const int j = j0 + int(p % TK), q_pos = a.q_offset + int(qi0 + b);
      float s = neg_inf;
      if (int(qi0 + b) < a.seq_q && j <= last && j <= q_pos && j >= window_start(q_pos, a.window_size)) {
        const uint row = uint(j) * kv_stride + kv_base;
        float d = 0.0;
        for (uint c = 0u; c < hd; c++) d = fma(qs[b * 128u + c], key_at(row + c), d);
        s = d * a.scale;
      }
      score[p] = s;
    }
    barrier();
    if (t < hd)
      for (uint kk = 0u; kk < TK && j0 + int(kk) <= last; kk++) {
        const float vv = value_at(uint(j0 + int(kk)) * kv_stride + kv_base + t);
        for (uint b = 0u; b < BQ; b++)
          if (score[b * TK + kk] > neg_inf) online_update(m[b], l[b], acc[b], score[b * TK + kk], vv);
      }
  }
  if (t >= hd) return;
  for (uint b = 0u; b < BQ; b++)
    if (qi0 + b < uint(a.seq_q)) o[(qi0 + b) * q_stride + h * hd + t] = acc[b] / (l[b] + 1e-10);
}
