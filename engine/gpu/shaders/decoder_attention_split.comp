#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
#include "kv_half.glsl"
#include "online_softmax.glsl"
#include "step_args.glsl"

// One query against half-precision cache rows [seq_k][kv_dim], the keys spread over
// workgroups: workgroup (key/value head kvh, split s) takes keys first + s * split .. for every
// query head sharing kvh, and writes its partial softmax (maximum, sum, weighted values) for
// attention_merge. Each invocation scores whole keys, so no barrier is needed per key. The grid
// has GROUPS workgroups per key/value head; those past the step's splits see no key and return.
// head_dim <= 128, at most 8 query heads per key/value head, split <= 256 keys.
layout(local_size_x = 128) in;

const uint MAX_GROUP = 8u, MAX_SPLIT = 256u, WG = 128u;

layout(std430, binding = 0) readonly buffer Q { float q[]; };
layout(std430, binding = 1) readonly buffer K { uint k2[]; };
layout(std430, binding = 2) readonly buffer V { uint v2[]; };
layout(std430, binding = 3) writeonly buffer Part { float part[]; };  // [n_heads][splits][head_dim + 2]
layout(std430, binding = 4) readonly buffer Step { StepArgs step; };
layout(push_constant) uniform Args {
  int n_heads; int n_kv_heads; int head_dim; int kv_dim; float scale; int window_size; int groups;
} a;

shared float qs[MAX_GROUP * 128u];
shared float p[MAX_GROUP * MAX_SPLIT];  // scores, then their exponentials
shared float red[MAX_GROUP * WG];
shared float stat[MAX_GROUP];

// Folds red[g][0 .. WG - 1] into red[g][0] for the first GROUP rows, by maximum or by sum.
void fold(uint group, bool maximum) {
  const uint t = gl_LocalInvocationID.x;
  for (uint stride = WG / 2u; stride > 0u; stride >>= 1u) {
    barrier();
    if (t < stride)
      for (uint g = 0u; g < MAX_GROUP; g++) if (g < group) {
        const float x = red[g * WG + t], y = red[g * WG + t + stride];
        red[g * WG + t] = maximum ? max(x, y) : x + y;
      }
  }
  barrier();
}

void main() {
  const uint gid = flat_group(), splits = uint(step.splits);
  const uint kvh = gid / uint(a.groups), s = gid % uint(a.groups);
  if (kvh >= uint(a.n_kv_heads) || s >= splits) return;  // whole workgroups only
  const uint t = gl_LocalInvocationID.x, hd = uint(a.head_dim);
  const uint group = uint(a.n_heads / a.n_kv_heads), h0 = kvh * group;
  const int first = window_start(step.q_pos, a.window_size) + int(s) * step.split;
  const int end = min(first + step.split, min(step.q_pos, step.seq_k - 1) + 1);
  const uint n = uint(max(end - first, 0));
  const float neg_inf = uintBitsToFloat(0xFF800000u);

  for (uint i = t; i < group * hd; i += WG) qs[i] = q[h0 * hd + i];
  barrier();

  float best[MAX_GROUP];
  for (uint g = 0u; g < MAX_GROUP; g++) best[g] = neg_inf;
  for (uint j = t; j < n; j += WG) {
    const uint base = (uint(first) + j) * uint(a.kv_dim) + kvh * hd;
    float dot_g[MAX_GROUP];
    for (uint g = 0u; g < MAX_GROUP; g++) dot_g[g] = 0.0;
    for (uint d = 0u; d < hd; d += 2u) {
      const vec2 kk = unpackHalf2x16(k2[(base + d) >> 1u]);
      for (uint g = 0u; g < MAX_GROUP; g++)
        if (g < group) dot_g[g] += qs[g * hd + d] * kk.x + qs[g * hd + d + 1u] * kk.y;
    }
    for (uint g = 0u; g < MAX_GROUP; g++) if (g < group) {
      const float score = dot_g[g] * a.scale;
      p[g * MAX_SPLIT + j] = score;
      best[g] = max(best[g], score);
    }
  }
  for (uint g = 0u; g < MAX_GROUP; g++) if (g < group) red[g * WG + t] = best[g];
  fold(group, true);
  if (t < group) stat[t] = red[t * WG];
  barrier();

  float sum[MAX_GROUP];
  for (uint g = 0u; g < MAX_GROUP; g++) sum[g] = 0.0;
  for (uint j = t; j < n; j += WG)
    for (uint g = 0u; g < MAX_GROUP; g++) if (g < group) {
      const float e = exp(p[g * MAX_SPLIT + j] - stat[g]);
      p[g * MAX_SPLIT + j] = e;
      sum[g] += e;
    }
  for (uint g = 0u; g < MAX_GROUP; g++) if (g < group) red[g * WG + t] = sum[g];
  fold(group, false);

  if (t >= hd) return;
  float acc[MAX_GROUP];
  for (uint g = 0u; g < MAX_GROUP; g++) acc[g] = 0.0;
  for (uint j = 0u; j < n; j++) {
    const uint i = (uint(first) + j) * uint(a.kv_dim) + kvh * hd + t;
    const float v = half_at(v2[i >> 1u], i);
    for (uint g = 0u; g < MAX_GROUP; g++) if (g < group) acc[g] = fma(p[g * MAX_SPLIT + j], v, acc[g]);
  }
  for (uint g = 0u; g < MAX_GROUP; g++) if (g < group) {
    const uint at = ((h0 + g) * splits + s) * (hd + 2u);
    part[at + t] = acc[g];
    if (t == 0u) {
      part[at + hd] = stat[g];
      part[at + hd + 1u] = red[g * WG];
    }
  }
}
