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
//
// Variants:
//   NORM        RMS norm of the input with the weights NORM_W (and with ADA, times 1 + the
//               conditioning row). The norm's factor is the same for every element of a row, so
//               the staged values carry only the weights and the sums are scaled once at the end,
//               by the factor from the squares summed while staging.
//   SILU_PAIRS  W holds runs of four gate rows and the four matching up rows (a workgroup's eight
//               rows): the output is silu(gate) * up, N_param (half the rows of W) wide.
layout(local_size_x = 256) in;

const uint ROWS = 8u, TEAM = 32u, CHUNK4 = 1024u;  // CHUNK4 vec4s: 16 KiB of input per chunk

layout(std430, binding = 0) readonly buffer W { uvec4 w16[]; };    // sixteen weights per element
layout(std430, binding = 1) readonly buffer S { uint scales2[]; };  // two halves per word
layout(std430, binding = 2) readonly buffer X { vec4 x4[]; };
layout(std430, binding = 3) buffer Out { float o[]; };
#ifdef NORM
layout(std430, binding = 4) readonly buffer NormW { vec4 norm4[]; };
#ifdef ADA
layout(std430, binding = 5) readonly buffer Ada { vec4 ada4[]; };
#endif
#endif
layout(push_constant) uniform Args {
  int K; int N_param; int group_size; int n_base; int n_chunk; int rows;
  int accumulate;  // nonzero: add to the output (a residual connection) instead of replacing it
  float eps;       // NORM
} a;

shared vec4 xs[CHUNK4];
shared float partial[256];
#ifdef NORM
shared float squares[256];
shared float team_squares[ROWS];
#endif

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
  float sum = 0.0, sq = 0.0;
  for (uint c4 = 0u; c4 < k4_count; c4 += CHUNK4) {
    const uint n4 = min(CHUNK4, k4_count - c4);
    barrier();  // the previous chunk is done with
    for (uint i = t; i < n4; i += 256u) {
#if defined(NORM)
      const vec4 x = x4[m * k4_count + c4 + i];
      sq += dot(x, x);
      const vec4 v = norm4[c4 + i] * x;
#ifdef ADA
      xs[i] = fma(ada4[c4 + i], v, v);
#else
      xs[i] = v;
#endif
#else
      xs[i] = x4[m * k4_count + c4 + i];
#endif
    }
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
#ifdef NORM
  // The squares in a fixed order too: each team's, then the teams'.
  squares[t] = sq;
  barrier();
  if (lane == 0u) {
    float q = 0.0;
    for (uint i = 0u; i < TEAM; i++) q += squares[t + i];
    team_squares[team] = q;
  }
  barrier();
  float squares_sum = 0.0;
  for (uint i = 0u; i < ROWS; i++) squares_sum += team_squares[i];
  const float factor = inversesqrt(fma(squares_sum, 1.0 / float(a.K), a.eps));
#else
  barrier();
  const float factor = 1.0;
#endif
#ifdef SILU_PAIRS
  if (live && lane == 0u && team < ROWS / 2u) {
    float gate = 0.0, up = 0.0;
    for (uint i = 0u; i < TEAM; i++) {
      gate += partial[t + i];
      up += partial[t + ROWS / 2u * TEAM + i];
    }
    gate *= factor;
    up *= factor;
    o[m * uint(a.N_param) + (uint(a.n_base) + r - team) / 2u + team] = gate / (1.0 + exp(-gate)) * up;
  }
#else
  if (live && lane == 0u) {
    float s = 0.0;
    for (uint i = 0u; i < TEAM; i++) s += partial[t + i];
    s *= factor;
    const uint at = m * uint(a.N_param) + uint(a.n_base) + r;
    o[at] = a.accumulate != 0 ? o[at] + s : s;
  }
#endif
}
