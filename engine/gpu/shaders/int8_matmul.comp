#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"

// out[m][n_base + r] = X[m] . dequant(W[r]) with signed 8-bit weights and one half scale per
// GROUP_SIZE weights of a row. One workgroup of 256 per output; W and the scales are bound from
// row n_base on, so a matrix larger than one binding is multiplied in slices of n_chunk rows.
layout(local_size_x = 256) in;

layout(std430, binding = 0) readonly buffer W { uint w4[]; };      // four weights per word
layout(std430, binding = 1) readonly buffer S { uint scales2[]; };  // two halves per word
layout(std430, binding = 2) readonly buffer X { vec4 x4[]; };
layout(std430, binding = 3) writeonly buffer Out { float o[]; };
layout(push_constant) uniform Args {
  int K; int N_param; int group_size; int n_base; int n_chunk; int rows;
} a;

shared float partial[256];

float scale_at(uint i) {
  const vec2 pair = unpackHalf2x16(scales2[i >> 1u]);
  return (i & 1u) == 0u ? pair.x : pair.y;
}

void main() {
  const uint g = flat_group();
  const uint r = g % uint(a.n_chunk), m = g / uint(a.n_chunk);
  if (m >= uint(a.rows)) return;
  const uint t = gl_LocalInvocationID.x, k4_count = uint(a.K) / 4u;
  const uint groups = uint(a.K) / uint(a.group_size);
  float sum = 0.0;
  for (uint k4 = t; k4 < k4_count; k4 += 256u) {
    const int word = int(w4[r * k4_count + k4]);
    const vec4 wv = vec4(bitfieldExtract(word, 0, 8), bitfieldExtract(word, 8, 8),
                         bitfieldExtract(word, 16, 8), bitfieldExtract(word, 24, 8));
    sum += scale_at(r * groups + (4u * k4) / uint(a.group_size)) * dot(wv, x4[m * k4_count + k4]);
  }
  sum = subgroupAdd(sum);
  if (subgroupElect()) partial[gl_SubgroupID] = sum;
  barrier();
  if (t == 0u) {
    float s = 0.0;
    for (uint i = 0u; i < gl_NumSubgroups; i++) s += partial[i];
    o[m * uint(a.N_param) + uint(a.n_base) + r] = s;
  }
}
