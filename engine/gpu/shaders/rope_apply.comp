#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

layout(std430, binding = 0) buffer Data { float data[]; };
layout(std430, binding = 1) readonly buffer Freqs { float freqs[]; };
layout(push_constant) uniform Args { int n_heads; int head_dim; } a;

#include "rope.glsl"

void main() {
  const uint half_dim = uint(a.head_dim) / 2u;
  const uint g = element_index();
  if (g >= uint(a.n_heads) * half_dim) return;
  const uint head = g / half_dim, i = g % half_dim;
  rotate_pair(head * uint(a.head_dim), i, 2u * i);
}
