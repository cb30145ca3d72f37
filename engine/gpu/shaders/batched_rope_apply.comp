#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

layout(std430, binding = 0) buffer Data { float data[]; };
layout(std430, binding = 1) readonly buffer Freqs { float freqs[]; };
layout(push_constant) uniform Args { int n_heads; int head_dim; int seq_len; } a;

#include "rope.glsl"

void main() {
  const uint half_dim = uint(a.head_dim) / 2u;
  const uint per_pos = uint(a.n_heads) * half_dim;
  const uint g = element_index();
  if (g >= uint(a.seq_len) * per_pos) return;
  const uint pos = g / per_pos, head = (g % per_pos) / half_dim, i = g % half_dim;
  rotate_pair((pos * uint(a.n_heads) + head) * uint(a.head_dim), i, (pos * half_dim + i) * 2u);
}
