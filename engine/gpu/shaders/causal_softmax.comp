#version 450
#extension GL_GOOGLE_include_directive : require
#include "reduce.glsl"

// One workgroup per (head, query) row of scores [n_heads][seq_q][seq_k], in place. Keys outside
// the causal window become 0. A row needs at least one visible key.
layout(std430, binding = 0) buffer Scores { float scores[]; };
layout(push_constant) uniform Args { int seq_q; int seq_k; int window_size; int q_offset; int rows; } a;

void main() {
  const uint g = flat_group();
  if (g >= uint(a.rows)) return;
  const uint t = gl_LocalInvocationID.x;
  const int qi = int(g % uint(a.seq_q));
  const uint base = g * uint(a.seq_k);
  const int q_pos = a.q_offset + qi;
  const int last = min(q_pos, a.seq_k - 1);
  const int first = a.window_size > 0 ? max(0, q_pos - a.window_size + 1) : 0;
  const float neg_inf = uintBitsToFloat(0xFF800000u);

  float m = neg_inf;
  for (int j = int(t); j < a.seq_k; j += 256) {
    if (j < first || j > last) scores[base + uint(j)] = neg_inf;
    else m = max(m, scores[base + uint(j)]);
  }
  m = reduce_max(m);
  float s = 0.0;
  for (int j = int(t); j < a.seq_k; j += 256) {
    const float e = exp(scores[base + uint(j)] - m);
    scores[base + uint(j)] = e;
    s += e;
  }
  s = reduce_sum(s);
  const float inv = 1.0 / (s + 1e-10);
  for (int j = int(t); j < a.seq_k; j += 256) scores[base + uint(j)] *= inv;
}
