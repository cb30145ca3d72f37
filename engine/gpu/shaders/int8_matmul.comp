#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"

// out[m][n_base + r] = X[m] . dequant(W[r]) with signed 8-bit weights and one half scale per
// GROUP_SIZE weights of a row (a power of two, at least 16). W and the scales are bound from row
// n_base on, so a matrix larger than one binding is multiplied in slices of n_chunk rows.
// A workgroup serves ROWS rows of one input row, a team of 32 invocations per row reading 16
// weights per 128-bit load. The input is staged in shared memory a chunk at a time, so each
// workgroup reads it once for all its rows. The team's sums are added in a fixed order, whatever
// the device's subgroup size.
layout(local_size_x = 256) in;

const uint ROWS = 8u, TEAM = 32u, CHUNK4 = 1024u;  // CHUNK4 vec4s: 16 KiB of input per chunk

layout(std430, binding = 0) readonly buffer W { uvec4 w16[]; };    // sixteen weights per element
layout(std430, binding = 1) readonly buffer S { uint scales2[]; };  // two halves per word
layout(std430, binding = 2) readonly buffer X { vec4 x4[]; };
layout(std430, binding = 3) buffer Out { float o[]; };
layout(push_constant) uniform Args {
  int K; int N_param; int group_size; int n_base; int n_chunk; int rows;
  int accumulate;  // nonzero: add to the output (a residual connection) instead of replacing it
} a;

shared vec4 xs[CHUNK4];
shared float partial[256];

float scale_at(uint i) {
  const vec2 pair = unpackHalf2x16(scales2[i >> 1u]);
  return (i & 1u) == 0u ? pair.x : pair.y;
}

// Four signed bytes of WORD times four inputs.
float dot4(uint word, vec4 x) {
  const int w = int(word);
  return dot(vec4(bitfieldExtract(w, 0, 8), bitfieldExtract(w, 8, 8), bitfieldExtract(w, 16, 8),
                  bitfieldExtract(w, 24, 8)), x);
}

void main() {
  const uint blocks = (uint(a.n_chunk) + ROWS - 1u) / ROWS;
  const uint g = flat_group();
  const uint m = g / blocks, t = gl_LocalInvocationID.x;
  if (m >= uint(a.rows)) return;  // whole workgroups only: no barrier is skipped by part of one
  const uint team = t / TEAM, lane = t % TEAM;
  const uint r = (g % blocks) * ROWS + team;
  const bool live = r < uint(a.n_chunk);
  const uint k4_count = uint(a.K) / 4u, k16_count = uint(a.K) / 16u;
  const uint group_shift = uint(findLSB(uint(a.group_size))) - 4u;  // 16-weight steps per scale
  const uint groups = uint(a.K) / uint(a.group_size);
  float sum = 0.0;
  for (uint c4 = 0u; c4 < k4_count; c4 += CHUNK4) {
    const uint n4 = min(CHUNK4, k4_count - c4);
    barrier();  // the previous chunk is done with
    for (uint i = t; i < n4; i += 256u) xs[i] = x4[m * k4_count + c4 + i];
    barrier();
    if (!live) continue;
    const uint k16_first = c4 / 4u, k16_end = k16_first + n4 / 4u;
    for (uint k16 = k16_first + lane; k16 < k16_end; k16 += TEAM) {
      const uvec4 w = w16[r * k16_count + k16];
      const uint x = (k16 - k16_first) * 4u;
      const float d = dot4(w.x, xs[x]) + dot4(w.y, xs[x + 1u]) + dot4(w.z, xs[x + 2u]) +
                      dot4(w.w, xs[x + 3u]);
      sum = fma(scale_at(r * groups + (k16 >> group_shift)), d, sum);
    }
  }
  partial[t] = sum;
  barrier();
  if (live && lane == 0u) {
    float s = 0.0;
    for (uint i = 0u; i < TEAM; i++) s += partial[t + i];
    const uint at = m * uint(a.N_param) + uint(a.n_base) + r;
    o[at] = a.accumulate != 0 ? o[at] + s : s;
  }
}
