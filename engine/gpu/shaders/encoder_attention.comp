#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
#include "online_softmax.glsl"

// Eight queries per workgroup, so each key and value row is read once per eight queries.
// Workgroup g serves head g / ceil(seq_q / 8) and queries 8 * (g mod ceil(seq_q / 8)) + 0..7.
// Q, out [seq_q][n_heads * head_dim]; K, V [seq_k][n_kv_heads * head_dim]; head_dim <= 128.
layout(local_size_x = 128) in;

const uint BQ = 8u;

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

shared float partial[BQ * 128u];  // [query][subgroup]
shared float score[BQ];

void main() {
  const uint blocks = (uint(a.seq_q) + BQ - 1u) / BQ;
  const uint g = flat_group();
  const uint h = g / blocks, qi0 = (g % blocks) * BQ;
  if (h >= uint(a.n_heads)) return;
  const uint t = gl_LocalInvocationID.x, hd = uint(a.head_dim);
  const bool lane = t < hd;
  const uint q_stride = uint(a.n_heads) * hd, kv_stride = uint(a.n_kv_heads) * hd;
  const uint kv_col = (h / uint(a.n_heads / a.n_kv_heads)) * hd + t;

  float qv[BQ], m[BQ], l[BQ], acc[BQ];
  for (uint b = 0u; b < BQ; b++) {
    const uint qi = qi0 + b;
    qv[b] = (lane && qi < uint(a.seq_q)) ? q[qi * q_stride + h * hd + t] : 0.0;
    m[b] = uintBitsToFloat(0xFF800000u);
    l[b] = 0.0;
    acc[b] = 0.0;
  }
  const int first = a.q_offset + int(qi0);
  const int last = min(a.q_offset + min(int(qi0 + BQ) - 1, a.seq_q - 1), a.seq_k - 1);
  for (int j = window_start(first, a.window_size); j <= last; j++) {
    const float kv = lane ? key_at(uint(j) * kv_stride + kv_col) : 0.0;
    for (uint b = 0u; b < BQ; b++) {
      const float p = subgroupAdd(qv[b] * kv);
      if (subgroupElect()) partial[b * 128u + gl_SubgroupID] = p;
    }
    barrier();
    if (t < BQ) {
      float s = 0.0;
      for (uint sg = 0u; sg < gl_NumSubgroups; sg++) s += partial[t * 128u + sg];
      score[t] = s * a.scale;
    }
    barrier();
    const float vv = lane ? value_at(uint(j) * kv_stride + kv_col) : 0.0;
    for (uint b = 0u; b < BQ; b++) {
      const int q_pos = a.q_offset + int(qi0 + b);
      if (int(qi0 + b) < a.seq_q && j <= q_pos && j >= window_start(q_pos, a.window_size))
        online_update(m[b], l[b], acc[b], score[b], vv);
    }
  }
  if (!lane) return;
  for (uint b = 0u; b < BQ; b++)
    if (qi0 + b < uint(a.seq_q)) o[(qi0 + b) * q_stride + h * hd + t] = acc[b] / (l[b] + 1e-10);
}
